#include "Rtsp/RtpReorderBuffer.h"

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

bool RtpReorderBuffer::Push(const uint8_t* data, size_t size, Clock::time_point now) {
    if (size < 12) return false;
    const uint16_t seq = static_cast<uint16_t>((data[2] << 8) | data[3]);
    // Extended against the highest number seen: a step of less than half the number space either
    // way is taken as the nearest.
    const int64_t reference = m_seen ? m_highest : seq;
    const int64_t extended = reference + static_cast<int16_t>(static_cast<uint16_t>(seq - static_cast<uint16_t>(reference)));
    if (m_started && extended < m_next) {
        ++m_late;
        return false;
    }
    if (m_waiting.count(extended)) {
        ++m_duplicates;
        return false;
    }
    if (!m_seen || extended > m_highest) m_highest = extended;
    m_seen = true;
    m_waiting.emplace(extended, Waiting{now, std::vector<uint8_t>(data, data + size)});
    return true;
}

void RtpReorderBuffer::TakeFirst(std::vector<uint8_t>* packet) {
    auto first = m_waiting.begin();
    if (m_started && first->first > m_next) m_missing += static_cast<uint64_t>(first->first - m_next);
    m_next = first->first + 1;
    m_started = true;
    packet->swap(first->second.data);
    m_waiting.erase(first);
}

bool RtpReorderBuffer::Pop(std::vector<uint8_t>* packet, Clock::time_point now) {
    if (m_waiting.empty()) return false;
    auto first = m_waiting.begin();
    const bool inSequence = m_started && first->first == m_next;
    if (!inSequence && now < NextDue() && m_waiting.size() < m_capacity) return false;
    TakeFirst(packet);
    return true;
}

bool RtpReorderBuffer::PopAny(std::vector<uint8_t>* packet) {
    if (m_waiting.empty()) return false;
    TakeFirst(packet);
    return true;
}

RtpReorderBuffer::Clock::time_point RtpReorderBuffer::NextDue() const {
    if (m_waiting.empty()) return Clock::time_point::max();
    auto first = m_waiting.begin();
    if (m_started && first->first == m_next) return Clock::time_point::min();
    // The oldest arrival waits longest: the first packet in sequence may have come late itself.
    Clock::time_point oldest = first->second.arrived;
    for (const auto& entry : m_waiting) oldest = std::min(oldest, entry.second.arrived);
    return oldest + m_window;
}

void RtpReorderBuffer::Clear() {
    m_waiting.clear();
    m_started = false;
    m_seen = false;
}

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
