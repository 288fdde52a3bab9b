#pragma once

#include "Rtsp/RtspResponse.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

// Splits the byte stream of an RTSP connection into RTSP messages and interleaved binary frames
// ('$', channel, 16-bit length, data). Sizes are bounded: a message head over 16 KiB or a body over
// 1 MiB is an error, and so is a long run of bytes that start neither a frame nor a message.
class RtspStreamReader {
public:
    static constexpr size_t kMaxHeadBytes = 16 * 1024;
    static constexpr int64_t kMaxBodyBytes = 1024 * 1024;
    static constexpr size_t kMaxGarbageBytes = 64 * 1024;

    enum class ItemType { Interleaved, Message, Error };
    struct Item {
        ItemType type = ItemType::Error;
        uint8_t channel = 0;
        const uint8_t* data = nullptr;  // interleaved payload; valid until the next call on the reader
        size_t size = 0;
        RtspResponse message;
        std::string error;
    };

    // Room for `bytes` more bytes at the end of the buffer; Commit says how many were written.
    uint8_t* WriteArea(size_t bytes);
    void Commit(size_t bytes);
    void Append(const uint8_t* data, size_t size);

    // Takes the next complete item. Returns false when more bytes are needed. After an Error item
    // the reader stays in error.
    bool Next(Item& item);

    size_t Buffered() const { return m_end - m_begin; }
    size_t SkippedBytes() const { return m_totalSkipped; }
    void Clear();

private:
    void Compact();

    std::vector<uint8_t> m_buffer;
    size_t m_begin = 0;
    size_t m_end = 0;
    size_t m_garbageRun = 0;
    size_t m_totalSkipped = 0;
    std::string m_error;
};

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
