// The byte stream of an RTSP connection: interleaved RTP/RTCP frames and RTSP messages mixed,
// arriving in pieces of any size.
#include "FuzzSupport.h"

#include "Rtsp/RtspStreamReader.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

using namespace Halvora::RuvarEduzid::Rtsp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RuvarFuzz::Initialize();
    if (size < 1) return 0;
    // The first byte sets the size of the pieces (1 to 256 bytes, or all at once for 0).
    const size_t piece = data[0] ? data[0] : size;
    ++data;
    --size;
    RtspStreamReader reader;
    RtspStreamReader::Item item;
    for (size_t at = 0; at < size;) {
        const size_t n = std::min(piece, size - at);
        if (at % 2) {
            reader.Append(data + at, n);
        } else {
            std::copy(data + at, data + at + n, reader.WriteArea(n));
            reader.Commit(n);
        }
        at += n;
        while (reader.Next(item)) {
            if (item.type == RtspStreamReader::ItemType::Error) return 0;
            if (item.type == RtspStreamReader::ItemType::Interleaved && item.size) {
                // The payload must lie inside what was appended: touch both ends.
                volatile uint8_t first = item.data[0], last = item.data[item.size - 1];
                (void)first;
                (void)last;
            }
            if (item.type == RtspStreamReader::ItemType::Message &&
                item.message.body.size() > static_cast<size_t>(RtspStreamReader::kMaxBodyBytes))
                std::abort();
        }
        if (reader.Buffered() > RtspStreamReader::kMaxHeadBytes + RtspStreamReader::kMaxBodyBytes +
                                    RtspStreamReader::kMaxGarbageBytes + 65536 + 256)
            std::abort();  // the reader never hoards bytes beyond its bounds
    }
    return 0;
}
