// The decoder fed arbitrary bytes through the static memory buffer: frames, then packets.
#include "FuzzSupport.h"

#include "Common/DateTime.h"
#include "Common/Exception.h"
#include "RuvarEduzid/FFMpegDecoder.h"

#include <cstdlib>
#include <vector>

using Halvora::Common::DateTime;
using Halvora::RuvarEduzid::FFMpegDecoder;
using Halvora::Video::Native::DecoderState;
using Halvora::Video::Native::DemuxerState;

namespace {
constexpr int kMaxCalls = 600;  // far more than the frames a 64 KB input can carry
}
// A first video packet that opens no decoder throws out of GetNextFrame and GetNextPacket (the
// documented exits besides a failed drain); the loops end there.

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RuvarFuzz::Initialize();
    // The caller's buffer must outlive the decoder; an exact-size copy catches reads past it.
    std::vector<unsigned char> buffer(data, data + size);
    unsigned char* bytes = buffer.empty() ? nullptr : buffer.data();
    {
        FFMpegDecoder decoder;
        if (decoder.Initialize(bytes, buffer.size(), DateTime(DateTime::UnixEpochTicks))) {
            try {
                for (int i = 0; i < kMaxCalls; ++i) {
                    auto frame = decoder.GetNextFrame();
                    if (!frame) std::abort();  // never null
                    auto state = frame->GetDecoderState();
                    if (state == DecoderState::EndOfArchive || state == DecoderState::Error) break;
                }
            } catch (const Halvora::Common::CodeErrorException&) {
            }
        }
    }
    {
        FFMpegDecoder decoder;
        if (decoder.Initialize(bytes, buffer.size(), DateTime(DateTime::UnixEpochTicks))) {
            try {
                for (int i = 0; i < kMaxCalls; ++i) {
                    auto packet = decoder.GetNextPacket();
                    if (!packet) std::abort();
                    auto state = packet->GetDemuxerState();
                    if (state == DemuxerState::EndOfArchive || state == DemuxerState::Error) break;
                }
            } catch (const Halvora::Common::CodeErrorException&) {
            }
        }
    }
    return 0;
}
