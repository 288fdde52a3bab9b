// Session descriptions, range values, addresses and authentication challenges from servers.
#include "Rtsp/RtspAuthenticator.h"
#include "Rtsp/RtspResponse.h"
#include "Rtsp/RtspUrl.h"
#include "Rtsp/SdpDescription.h"

#include <cstdint>
#include <string>

using namespace Halvora::RuvarEduzid::Rtsp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    SdpDescription sdp;
    if (sdp.Parse(text).empty()) {
        const int video = sdp.FindMedia("video");
        (void)sdp.SingleMediaSdp(video);
        (void)RtspUrl::ResolveControl("rtsp://127.0.0.1/x", sdp.MediaList()[0].control);
    }
    int64_t start = 0;
    RtspResponse::ParseRangeStart(text, &start);
    RtspUrl url;
    url.Parse(text);
    RtspAuthenticator auth;
    auth.SetCredentials("user", "password");
    if (auth.OnChallenge({text})) (void)auth.Authorization("DESCRIBE", "rtsp://127.0.0.1/x");
    return 0;
}
