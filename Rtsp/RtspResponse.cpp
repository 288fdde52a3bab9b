#include "Rtsp/RtspResponse.h"

#include "Common/DateTime.h"
#include "Common/StringUtility.h"

#include <cctype>
#include <cstdlib>
#include <ctime>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

using Halvora::Common::StringUtility;

namespace {
bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool ParseDigits(const std::string& s, size_t pos, size_t count, int* value) {
    if (pos + count > s.size()) return false;
    int v = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
        v = v * 10 + (s[i] - '0');
    }
    *value = v;
    return true;
}

// Fraction digits after a '.', as microseconds; advances pos.
int64_t ParseFractionUs(const std::string& s, size_t& pos) {
    int64_t us = 0;
    int64_t scale = 100000;
    while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos]))) {
        us += (s[pos] - '0') * scale;
        scale /= 10;
        ++pos;
    }
    return us;
}
}  // namespace

std::string RtspResponse::ParseHead(const std::string& head) {
    headers.clear();
    size_t lineEnd = head.find('\n');
    std::string first = head.substr(0, lineEnd);
    if (!first.empty() && first.back() == '\r') first.pop_back();
    if (first.compare(0, 5, "RTSP/") == 0) {
        isRequest = false;
        size_t sp = first.find(' ');
        if (sp == std::string::npos) return "status line without a status code";
        size_t codeStart = sp + 1;
        size_t codeEnd = codeStart;
        while (codeEnd < first.size() && std::isdigit(static_cast<unsigned char>(first[codeEnd]))) ++codeEnd;
        if (codeEnd - codeStart != 3) return "status line without a three-digit status code";
        status = std::atoi(first.substr(codeStart, 3).c_str());
        if (status < 100) return "status code out of range";
        reason = codeEnd < first.size() ? StringUtility::Trim(first.substr(codeEnd)) : std::string();
    } else {
        size_t sp = first.find(' ');
        if (sp == std::string::npos || first.find(" RTSP/") == std::string::npos) return "malformed status line";
        isRequest = true;
        method = first.substr(0, sp);
        status = 0;
    }
    size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 1;
    while (pos < head.size()) {
        size_t end = head.find('\n', pos);
        if (end == std::string::npos) end = head.size();
        std::string line = head.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if ((line[0] == ' ' || line[0] == '\t') && !headers.empty()) {  // folded continuation
            headers.back().second += " " + StringUtility::Trim(line);
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) return "malformed header line";
        headers.emplace_back(StringUtility::Trim(line.substr(0, colon)), StringUtility::Trim(line.substr(colon + 1)));
    }
    return {};
}

std::string RtspResponse::Header(const std::string& name) const {
    for (const auto& h : headers)
        if (EqualNoCase(h.first, name)) return h.second;
    return {};
}

bool RtspResponse::HasHeader(const std::string& name) const {
    for (const auto& h : headers)
        if (EqualNoCase(h.first, name)) return true;
    return false;
}

std::vector<std::string> RtspResponse::AllHeaders(const std::string& name) const {
    std::vector<std::string> out;
    for (const auto& h : headers)
        if (EqualNoCase(h.first, name)) out.push_back(h.second);
    return out;
}

int RtspResponse::CSeq() const {
    std::string v = Header("CSeq");
    if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::atoi(v.c_str());
}

int64_t RtspResponse::ContentLength() const {
    if (!HasHeader("Content-Length")) return 0;
    std::string v = Header("Content-Length");
    if (v.empty() || v.size() > 12 || v.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::strtoll(v.c_str(), nullptr, 10);
}

bool RtspResponse::ParseRangeStart(const std::string& value, int64_t* startUs) {
    std::string v = StringUtility::Trim(value);
    // Several ranges may follow one another separated by ';' (e.g. "npt=0-;time=..."); take the first we know.
    size_t pos = 0;
    while (pos < v.size()) {
        size_t end = v.find(';', pos);
        if (end == std::string::npos) end = v.size();
        std::string part = StringUtility::Trim(v.substr(pos, end - pos));
        pos = end + 1;
        std::string lower = StringUtility::ToLower(part);
        if (lower.compare(0, 4, "npt=") == 0) {
            size_t p = 4;
            if (p >= part.size() || !(std::isdigit(static_cast<unsigned char>(part[p])) || part[p] == '.'))
                continue;  // "npt=now-" or "npt=-10"
            // npt-sec "123.45" or npt-hhmmss "h:mm:ss.frac"
            int64_t seconds = 0;
            int64_t fields[3] = {0, 0, 0};
            int nFields = 0;
            while (nFields < 3) {
                int64_t n = 0;
                int digits = 0;
                while (p < part.size() && std::isdigit(static_cast<unsigned char>(part[p])) && digits < 12) {
                    n = n * 10 + (part[p] - '0');
                    ++p;
                    ++digits;
                }
                fields[nFields++] = n;
                if (p < part.size() && part[p] == ':') {
                    ++p;
                    continue;
                }
                break;
            }
            for (int i = 0; i < nFields; ++i) seconds = seconds * 60 + fields[i];
            if (seconds > 100000000000LL) continue;  // beyond any real presentation
            int64_t us = seconds * 1000000;
            if (p < part.size() && part[p] == '.') {
                ++p;
                us += ParseFractionUs(part, p);
            }
            *startUs = us;
            return true;
        }
        if (lower.compare(0, 6, "clock=") == 0) {
            // YYYYMMDDThhmmss[.fraction]Z
            const std::string c = part.substr(6);
            int year, month, day, hour, minute, second;
            if (!ParseDigits(c, 0, 4, &year) || !ParseDigits(c, 4, 2, &month) || !ParseDigits(c, 6, 2, &day) ||
                c.size() < 9 || (c[8] != 'T' && c[8] != 't') || !ParseDigits(c, 9, 2, &hour) ||
                !ParseDigits(c, 11, 2, &minute) || !ParseDigits(c, 13, 2, &second))
                continue;
            if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) continue;
            size_t p = 15;
            int64_t us = 0;
            if (p < c.size() && c[p] == '.') {
                ++p;
                us = ParseFractionUs(c, p);
            }
            const int64_t ticks = Common::DateTime::FromCivil(year, static_cast<unsigned>(month),
                                                              static_cast<unsigned>(day), hour, minute, second)
                                      .GetFileTime() -
                                  Common::DateTime::UnixEpochTicks;
            *startUs = ticks / 10 + us;
            return true;
        }
    }
    return false;
}

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
