#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

// One RTSP message read from the server: a response (status line) or, rarely, a request the
// server sends to the client. Header names compare case-insensitively.
class RtspResponse {
public:
    bool isRequest = false;
    std::string method;   // requests only
    int status = 0;       // responses only
    std::string reason;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string text;     // status line, headers and body as received

    // Parses the status (or request) line and the header lines of `head` (everything before the
    // empty line). Returns an empty string on success, otherwise what is wrong.
    std::string ParseHead(const std::string& head);

    // Value of the first header of that name, empty when absent.
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
    std::vector<std::string> AllHeaders(const std::string& name) const;
    // CSeq, or -1 when absent or not a number.
    int CSeq() const;
    // Content-Length: 0 when absent, -1 when not a valid number.
    int64_t ContentLength() const;

    // Start of a "Range:" value in microseconds: "npt=12.5-" gives 12500000, "clock=20210101T000000.25Z-"
    // gives the UTC instant since 1970. Returns false when the value has neither form (e.g. "npt=now-").
    static bool ParseRangeStart(const std::string& value, int64_t* startUs);
};

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
