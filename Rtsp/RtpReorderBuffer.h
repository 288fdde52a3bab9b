#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

// RTP packets that came over UDP, put back in sequence order before anyone reads them. A packet
// waits while one before it is missing, at most `window` after it arrived (then the missing one
// counts as lost); duplicates, and packets that arrive after their place was passed, are dropped.
// The first packet of a stream waits the window too, for any packet sent before it.
class RtpReorderBuffer {
public:
    using Clock = std::chrono::steady_clock;

    explicit RtpReorderBuffer(std::chrono::milliseconds window = std::chrono::milliseconds(50),
                              size_t capacity = 1024)
        : m_window(window), m_capacity(capacity) {}

    // False when the packet is dropped: a duplicate, one whose place was passed, or no RTP packet.
    bool Push(const uint8_t* data, size_t size, Clock::time_point now);
    // The next packet that may go on at `now`: the next in sequence; when that one is missing, the
    // first waiting packet once it waited the whole window (or the buffer is full).
    bool Pop(std::vector<uint8_t>* packet, Clock::time_point now);
    // The first waiting packet, whatever is missing before it.
    bool PopAny(std::vector<uint8_t>* packet);
    // When Pop gives the next packet at the latest; Clock::time_point::max() when none waits.
    Clock::time_point NextDue() const;
    bool Empty() const { return m_waiting.empty(); }
    void Clear();

    uint64_t Duplicates() const { return m_duplicates; }
    uint64_t Late() const { return m_late; }
    // Packets never received, passed over after waiting.
    uint64_t Missing() const { return m_missing; }

private:
    struct Waiting {
        Clock::time_point arrived;
        std::vector<uint8_t> data;
    };
    void TakeFirst(std::vector<uint8_t>* packet);

    std::chrono::milliseconds m_window;
    size_t m_capacity;
    std::map<int64_t, Waiting> m_waiting;  // by sequence number extended past its 16-bit wrap
    bool m_started = false;               // a packet went on: m_next is known
    int64_t m_next = 0;                   // extended sequence number of the next packet to go on
    int64_t m_highest = 0;                // highest extended sequence number seen
    bool m_seen = false;
    uint64_t m_duplicates = 0;
    uint64_t m_late = 0;
    uint64_t m_missing = 0;
};

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
