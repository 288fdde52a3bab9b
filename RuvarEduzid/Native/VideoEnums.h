#pragma once

namespace Halvora {
namespace Video {
namespace Native {

// State of every frame. Value 3 is never produced.
enum DecoderState : int { Ok = 0, Error = 1, EndOfArchive = 2, NotAvailable = 4 };
// State of every packet: the same numbers.
using DemuxerState = DecoderState;

// Pixel layout of an IDecodedImage. Other values are treated as Bgr24 by conversions.
enum DecodedImageFormat : int { Bgr24 = 1, Rgb24 = 2, Bgra32 = 3, Abgr32 = 4, Yuv420P = 7, Cuda = 9 };

// Which decoder FFMpegDecoder opens. Any other value behaves as Cuvid.
enum class DecoderTypes : int { Software = 0, Cuda = 1, Cuvid = 2, CuvidThenSoftware = 3 };

// The host reads these numbers as 32-bit integers.
static_assert(sizeof(DecoderState) == 4 && sizeof(DecodedImageFormat) == 4 && sizeof(DecoderTypes) == 4,
              "the host's enumerations are 32-bit");
static_assert(Ok == 0 && Error == 1 && EndOfArchive == 2 && NotAvailable == 4, "the host's state numbers");
static_assert(Bgr24 == 1 && Abgr32 == 4 && Yuv420P == 7 && Cuda == 9, "the host's format numbers");

}  // namespace Native
}  // namespace Video
}  // namespace Halvora
