#pragma once

#include "RuvarEduzid/Export.h"

#include <cstdarg>
#include <cstdint>
#include <string>

struct AVFormatContext;
struct AVCodecContext;
struct AVDictionary;

namespace Halvora {
namespace RuvarEduzid {

enum H264Profile : int {
    H264ProfileNotSet = 0,
    H264ProfileBaseline = 1,
    H264ProfileMain = 2,
    H264ProfileHigh = 3,
    H264ProfileHigh10 = 4,
    H264ProfileHigh422 = 5,
    H264ProfileHigh444 = 6
};

// A level's value is the H.264 level_idc (ten times the level number); -1 means not set.
enum H264Level : int {
    H264LevelNotSet = -1,
    H264Level10 = 10, H264Level11 = 11, H264Level12 = 12, H264Level13 = 13,
    H264Level20 = 20, H264Level21 = 21, H264Level22 = 22,
    H264Level30 = 30, H264Level31 = 31, H264Level32 = 32,
    H264Level40 = 40, H264Level41 = 41, H264Level42 = 42,
    H264Level50 = 50, H264Level51 = 51, H264Level52 = 52
};

namespace FFMpegGate {

// FFmpeg's log level numbers, passed through unchanged.
enum LogLevel : int {
    Quiet = -8, Panic = 0, Fatal = 8, Error = 16, Warning = 24, Info = 32, Verbose = 40, Debug = 48, Trace = 56
};

// Once per process: fixes FFmpeg's log level and routes FFmpeg's messages into the library log.
RUVAREDUZID_API void EnsureInitialization(LogLevel level);
// Describes an opened input in the log at debug level, in the manner of FFmpeg's input dump.
RUVAREDUZID_API void DumpInputVideo(AVFormatContext* input, AVCodecContext* decoder);
RUVAREDUZID_API const char* ToFFmpegString(H264Profile profile);
RUVAREDUZID_API const char* ToFFmpegString(H264Level level);

// Internals, visible for tests.
namespace Detail {
// Logger level of an FFmpeg level number.
int MapLevel(int ffmpegLevel);
// The forwarding threshold in force.
int Threshold();
void LogCallback(void* context, int level, const char* format, va_list args);
std::string FormatDuration(int64_t durationUs);
std::string FormatStart(int64_t startUs);
std::string FormatBitrate(int64_t bitRate);
std::string FormatRate(double d, const char* postfix);
std::string FormatMetadata(const AVDictionary* metadata, const char* indent);
std::string BuildInputDump(AVFormatContext* input, AVCodecContext* decoder);
}  // namespace Detail

}  // namespace FFMpegGate
}  // namespace RuvarEduzid
}  // namespace Halvora
