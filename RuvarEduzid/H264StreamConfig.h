#pragma once

// One H.264 rendition's encoder settings. It crosses the exported plain-function boundary by
// pointer, so its layout is the natural C layout of these fields in this order.

#include "RuvarEduzid/FFMpegGate.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace Halvora {
namespace RuvarEduzid {

struct H264StreamConfig {
    int32_t height;           // picture height; the encoder setup caps it at 2160
    int32_t width;            // picture width; capped at 3840
    int32_t crf;              // encoder option "crf"
    int32_t maxRate;          // > 0: "maxrate" and, doubled, "bufsize"; otherwise neither is set
    H264Profile profile;      // 0: no "profile" option
    H264Level level;          // -1: no "level" option
    bool liveGeneration;      // true: the segmenter writes the playlist as segments appear
    int32_t segmentDuration;  // wanted segment length in whole seconds
    int32_t gopsPerSegment;   // key-frame intervals per segment
};

static_assert(std::is_standard_layout<H264StreamConfig>::value, "H264StreamConfig crosses a C boundary");
static_assert(sizeof(H264Profile) == 4 && sizeof(H264Level) == 4, "enumerations are 32-bit");
static_assert(sizeof(H264StreamConfig) == 36, "natural C layout");
static_assert(offsetof(H264StreamConfig, height) == 0 && offsetof(H264StreamConfig, width) == 4 &&
                  offsetof(H264StreamConfig, crf) == 8 && offsetof(H264StreamConfig, maxRate) == 12 &&
                  offsetof(H264StreamConfig, profile) == 16 && offsetof(H264StreamConfig, level) == 20 &&
                  offsetof(H264StreamConfig, liveGeneration) == 24 && offsetof(H264StreamConfig, segmentDuration) == 28 &&
                  offsetof(H264StreamConfig, gopsPerSegment) == 32,
              "the host fills the fields at these offsets");

}  // namespace RuvarEduzid
}  // namespace Halvora
