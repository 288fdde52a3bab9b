// The session description of a DESCRIBE reply, and the single-media description made from it
// for FFmpeg's "sdp" demuxer.
#include "FuzzSupport.h"

#include "Rtsp/RtspUrl.h"
#include "Rtsp/SdpDescription.h"

#include <cstdlib>

using namespace Halvora::RuvarEduzid::Rtsp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RuvarFuzz::Initialize();
    SdpDescription sdp;
    if (!sdp.Parse(RuvarFuzz::AsText(data, size)).empty()) return 0;
    if (sdp.MediaList().size() > 256) std::abort();
    const int video = sdp.FindMedia("video");
    if (video >= 0) {
        std::string single = sdp.SingleMediaSdp(video);
        (void)single;
        // Control attributes resolve against the base address the way SETUP uses them.
        (void)RtspUrl::ResolveControl("rtsp://127.0.0.1:8554/test/", sdp.MediaList()[video].control);
        (void)RtspUrl::ResolveControl("rtsp://127.0.0.1:8554/test", sdp.SessionControl());
    }
    return 0;
}
