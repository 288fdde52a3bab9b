// The decoder fed arbitrary bytes through the live buffer, in chunks of varying sizes (one byte
// at a time included), decoding between the appends, then ended with a zero-size append.
#include "FuzzSupport.h"

#include "Common/Exception.h"
#include "RuvarEduzid/FFMpegDecoder.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

using Halvora::RuvarEduzid::FFMpegDecoder;
using Halvora::Video::Native::DecoderState;

namespace {
constexpr int kMaxCalls = 600;

// Tiny deterministic generator: the chunk sizes follow from the input itself.
struct Lcg {
    uint32_t state;
    uint32_t Next() { return state = state * 1664525u + 1013904223u; }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RuvarFuzz::Initialize();
    // The seed of the chunk sizes mixes the length and the last byte, so that whole media files
    // work as seeds unchanged.
    Lcg random{static_cast<uint32_t>(size * 2654435761u) ^ (size ? data[size - 1] : 0u)};
    const size_t first = std::min<size_t>(size, random.Next() % 4096);
    std::vector<unsigned char> head(data, data + first);
    FFMpegDecoder decoder;
    // A small capacity, so that appends grow the buffer.
    if (!decoder.Initialize(head.empty() ? nullptr : head.data(), 4096, head.size(), true, nullptr)) return 0;

    int calls = 0;
    auto step = [&](bool untilEnd) {
        while (calls < kMaxCalls) {
            ++calls;
            std::shared_ptr<Halvora::Video::Native::IDecodedFrame> frame;
            try {
                frame = decoder.GetNextFrame();
            } catch (const Halvora::Common::CodeErrorException&) {
                return false;  // a packet that opens no decoder, or a failed drain: documented exits
            }
            if (!frame) std::abort();
            auto state = frame->GetDecoderState();
            if (state == DecoderState::EndOfArchive || state == DecoderState::Error) return false;
            if (state == DecoderState::NotAvailable && !untilEnd) return true;
        }
        return false;
    };
    size_t at = first;
    bool open = step(false);
    while (open && at < size) {
        // Mostly small chunks, one byte at a time now and then, sometimes a large piece.
        uint32_t r = random.Next();
        size_t chunk = (r & 3) == 0 ? 1 : (r & 3) == 1 ? (r >> 8) % 64 + 1 : (r >> 8) % 8192 + 1;
        chunk = std::min(chunk, size - at);
        std::vector<unsigned char> piece(data + at, data + at + chunk);  // exact size: overreads show
        if (!decoder.AppendChunkToBuffer(piece.data(), piece.size())) break;
        at += chunk;
        open = step(false);
    }
    if (open) {
        decoder.AppendChunkToBuffer(nullptr, 0);
        step(true);
    }
    return 0;
}
