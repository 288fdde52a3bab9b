#pragma once

#include "RuvarEduzid/FFMpegDecoder.h"
#include "tools/ruvar/Cli.h"

#include <memory>
#include <string>
#include <vector>

namespace Ruvar {

// A decoder opened from the command line, with the file data it is fed from when the live
// buffer is used.
struct OpenedDecoder {
    std::shared_ptr<Halvora::RuvarEduzid::FFMpegDecoder> decoder;
    std::vector<unsigned char> liveData;  // the whole file, fed chunk by chunk
    size_t liveOffset = 0;
    size_t liveChunk = 0;
    bool liveEndSent = false;

    // Appends the next chunk (or, after the last one, the end-of-input mark). False when nothing
    // is left to feed.
    bool FeedMore();
    std::shared_ptr<Halvora::Video::Native::IDecodedFrame> NextKeyFrame() { return decoder->GetNextKeyFrame(); }
};

// Opens SOURCE with the decode options (--start-time, --utc-offset, --gpu, --decoder, --threads, --vms,
// --options, --live-chunks) of `args`. Throws RunError with a clear message on failure.
OpenedDecoder OpenDecoder(const std::string& source, const Args& args);
// Short name of the container of SOURCE ("mov,mp4,m4a,3gp,3g2,mj2", "rtsp", ...).
std::string ContainerName(const std::string& source);

}  // namespace Ruvar
