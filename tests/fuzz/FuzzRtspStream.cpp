// Bytes of an RTSP connection: replies, server requests and interleaved frames, fed in pieces.
#include "Rtsp/RtspResponse.h"
#include "Rtsp/RtspStreamReader.h"

#include <cstdint>
#include <cstring>

using namespace Halvora::RuvarEduzid::Rtsp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RtspStreamReader reader;
    size_t offset = 0;
    size_t step = size > 0 ? 1 + data[0] % 97 : 1;
    int items = 0;
    while (offset < size && items < 10000) {
        const size_t n = std::min(step, size - offset);
        std::memcpy(reader.WriteArea(n), data + offset, n);
        reader.Commit(n);
        offset += n;
        RtspStreamReader::Item item;
        while (reader.Next(item) && items++ < 10000) {
            if (item.type == RtspStreamReader::ItemType::Error) return 0;
            if (item.type == RtspStreamReader::ItemType::Message) {
                (void)item.message.CSeq();
                (void)item.message.Header("Session");
                int64_t start = 0;
                RtspResponse::ParseRangeStart(item.message.Header("Range"), &start);
            } else if (item.size > 0) {
                volatile uint8_t last = item.data[item.size - 1];
                (void)last;
            }
        }
    }
    return 0;
}
