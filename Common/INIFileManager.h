#pragma once

#include "Common/Export.h"
#include "Common/Logger.h"
#include "Common/StringUtility.h"

#include <boost/lexical_cast.hpp>

#include <string>

namespace Halvora {
namespace Common {

// Reads INI files with Windows profile semantics: [sections], key=value lines, ';' comments,
// case-insensitive section and key names, blanks around names and values ignored, one pair of
// surrounding quotes removed from a value. The first occurrence of a key wins.
class HALVORA_COMMON_API INIFileManager {
public:
    explicit INIFileManager(std::wstring filePath) : m_filePath(std::move(filePath)) {}

    // Text of the key, empty when the file, the section or the key is missing.
    static std::wstring GetIniValue(const std::wstring& section, const std::wstring& key, const std::wstring& file);

    // Converts the key's text with boost::lexical_cast; a missing key leaves `value` unchanged, a
    // malformed one logs a warning and leaves it unchanged too.
    template <typename T>
    void GetValue(const std::wstring& section, const std::wstring& key, T& value) const {
        std::wstring text = GetIniValue(section, key, m_filePath);
        if (text.empty()) return;
        try {
            value = boost::lexical_cast<T>(StringUtility::WstringToString(text));
        } catch (const boost::bad_lexical_cast& e) {
            Logger::ScopedLog(LogWarning, "Common/INIFileManager", 67, "Halvora::Common::INIFileManager::GetValue")
                    .Stream()
                << L"Failed to get " << section << L" : " << key << L". Value: " << text << L". Exception: "
                << StringUtility::CharPtrToWstring(e.what());
        }
    }

private:
    std::wstring m_filePath;
};

}  // namespace Common
}  // namespace Halvora
