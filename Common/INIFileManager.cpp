#include "Common/INIFileManager.h"

#include <fstream>

namespace Halvora {
namespace Common {

std::wstring INIFileManager::GetIniValue(const std::wstring& section, const std::wstring& key,
                                         const std::wstring& file) {
    std::ifstream in(StringUtility::WstringToString(file));
    if (!in) return std::wstring();
    const std::string wantedSection = StringUtility::ToLower(StringUtility::WstringToString(section));
    const std::string wantedKey = StringUtility::ToLower(StringUtility::WstringToString(key));
    bool inSection = false;
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        if (first) {
            first = false;
            if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);  // UTF-8 byte-order mark
        }
        std::string t = StringUtility::Trim(line);
        if (t.empty() || t[0] == ';') continue;
        if (t[0] == '[') {
            size_t close = t.find(']');
            std::string name = StringUtility::Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            inSection = StringUtility::ToLower(name) == wantedSection;
            continue;
        }
        if (!inSection) continue;
        size_t eq = t.find('=');
        if (eq == std::string::npos) continue;
        if (StringUtility::ToLower(StringUtility::Trim(t.substr(0, eq))) != wantedKey) continue;
        std::string value = StringUtility::Trim(t.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return StringUtility::StringToWstring(value);
    }
    return std::wstring();
}

}  // namespace Common
}  // namespace Halvora
