#pragma once

// Wraps a raw H.264 byte stream held in memory into an MP4 file held in memory, without
// re-encoding and without touching the file system.

#include "RuvarEduzid/Export.h"

#include "Common/MemoryStream.h"

#include <opencv2/core/types.hpp>

#include <cstdint>
#include <functional>
#include <memory>

struct AVFormatContext;
struct AVPacket;

namespace Halvora {
namespace RuvarEduzid {

// Remuxes every packet of `input` into an MP4 written into `output`; packet n gets the time
// n / fps. `size` is not used. Failures throw CodeErrorException ("FFmpeg error: ..."); what was
// written to `output` before a failure stays there.
RUVAREDUZID_API void ConvertH264_MP4(std::shared_ptr<Halvora::IO::MemoryOutputStream> input,
                                     std::shared_ptr<Halvora::IO::MemoryOutputStream> output, float fps, cv::Size size);

// The output seek callback: origins 0, 1, 2 (SEEK_SET, SEEK_CUR, SEEK_END) move the position of
// the MemoryOutputStream that `opaque` designates and return `offset`; any other origin throws
// "invalid seek origin " + value.
RUVAREDUZID_API int64_t AVIOSeekMemoryOutputStream(void* opaque, int64_t offset, int whence);
// The output write callback: writes `size` bytes at the current position, returns `size`.
RUVAREDUZID_API int AVIOWriteMemoryOutputStream(void* opaque, uint8_t* buffer, int size);
// The input read callback over a Halvora::IO::MemoryInputStream: copies up to `size` bytes and
// returns how many (0 at the end of the input).
RUVAREDUZID_API int AVIOReadMemoryInputStream(void* opaque, uint8_t* buffer, int size);

namespace Detail {
// Reads the next packet (av_read_frame by default); tests substitute failing readers.
using ReadPacketFunction = std::function<int(AVFormatContext*, AVPacket*)>;
void ConvertH264_MP4(const std::shared_ptr<Halvora::IO::MemoryOutputStream>& input,
                     const std::shared_ptr<Halvora::IO::MemoryOutputStream>& output, float fps,
                     const ReadPacketFunction& readPacket);
}  // namespace Detail

}  // namespace RuvarEduzid
}  // namespace Halvora
