// An RTSP message head as a server sends it, with the header values the session reads: CSeq,
// Content-Length, Range (GET_PARAMETER and PLAY replies), Public, Transport, WWW-Authenticate.
#include "FuzzSupport.h"

#include "Rtsp/RtspAuthenticator.h"
#include "Rtsp/RtspResponse.h"

#include <cstdlib>

using namespace Halvora::RuvarEduzid::Rtsp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RuvarFuzz::Initialize();
    const std::string head = RuvarFuzz::AsText(data, size);
    RtspResponse response;
    const std::string error = response.ParseHead(head);
    if (error.empty()) {
        (void)response.CSeq();
        const int64_t length = response.ContentLength();
        if (length < -1) std::abort();
        for (const char* name : {"Range", "Session", "Transport", "Public", "Content-Base", "RTP-Info"})
            (void)response.Header(name);
        int64_t start = 0;
        for (const auto& range : response.AllHeaders("Range")) RtspResponse::ParseRangeStart(range, &start);
        // Challenges go to the authenticator, which answers them with an Authorization header.
        auto challenges = response.AllHeaders("WWW-Authenticate");
        if (!challenges.empty()) {
            RtspAuthenticator auth;
            auth.SetCredentials("user", "secret");
            if (auth.OnChallenge(challenges)) (void)auth.Authorization("DESCRIBE", "rtsp://127.0.0.1/test");
        }
    }
    // The whole text as a Range value too.
    int64_t start = 0;
    RtspResponse::ParseRangeStart(head, &start);
    return 0;
}
