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

    bool network = false;

    // Appends the next chunk (or, after the last one, the end-of-input mark). False when nothing
    // is left to feed.
    bool FeedMore();
    // The next frame (every frame, or key frames only), or null with the state that ended the
    // stream. A live stream's pause (NotAvailable) is waited out and a buffer-fed decoder gets its
    // next chunk; a stop request (Ctrl-C) ends the stream with NotAvailable.
    std::shared_ptr<Halvora::Video::Native::IDecodedFrame> Next(bool keyFrames, int& state);
    // A frame's time as file-time ticks: frames of the live buffer carry whole Unix seconds.
    int64_t FileTime(const Halvora::Video::Native::IDecodedFrame& frame) const;
};

// Opens SOURCE with the decode options (--start-time, --utc-offset, --gpu, --decoder, --threads, --vms,
// --options, --live-chunks, --timeout, --transport) of `args`. Throws RunError with a clear
// message on failure, UsageError for an option that does not apply.
OpenedDecoder OpenDecoder(const std::string& source, const Args& args);
// The options of the input (--live-chunks, --timeout, --transport) and, with the decoder's
// (--gpu, --decoder), of the decoding, for the commands' option lists.
extern const std::vector<std::string> kInputValued;
extern const std::vector<std::string> kDecodeValued;
// Short name of the container of SOURCE ("mov,mp4,m4a,3gp,3g2,mj2", "rtsp", ...).
std::string ContainerName(const std::string& source);

}  // namespace Ruvar
