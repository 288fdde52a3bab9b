#include "Rtsp/RtspStreamReader.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

namespace {
// Whether `data` may begin an RTSP message: "RTSP/" for a response, or an upper-case method
// followed by a blank for a request. `complete` is false when too few bytes are known to decide.
bool MayStartMessage(const uint8_t* data, size_t size, bool* complete) {
    static const char kResponse[] = "RTSP/";
    size_t n = std::min(size, sizeof kResponse - 1);
    if (std::memcmp(data, kResponse, n) == 0) {
        *complete = size >= sizeof kResponse - 1;
        return true;
    }
    size_t i = 0;
    while (i < size && i < 32 && (std::isupper(data[i]) || data[i] == '_')) ++i;
    if (i == 0) {
        *complete = true;
        return false;
    }
    if (i == size) {
        *complete = false;
        return true;
    }
    *complete = true;
    return data[i] == ' ' && i < 32;
}
}  // namespace

uint8_t* RtspStreamReader::WriteArea(size_t bytes) {
    Compact();
    if (m_buffer.size() < m_end + bytes) m_buffer.resize(m_end + bytes);
    return m_buffer.data() + m_end;
}

void RtspStreamReader::Commit(size_t bytes) { m_end += bytes; }

void RtspStreamReader::Append(const uint8_t* data, size_t size) {
    std::memcpy(WriteArea(size), data, size);
    Commit(size);
}

void RtspStreamReader::Clear() {
    m_begin = m_end = 0;
    m_garbageRun = 0;
}

void RtspStreamReader::Compact() {
    if (m_begin == 0) return;
    if (m_begin == m_end) {
        m_begin = m_end = 0;
        return;
    }
    // Move only when the consumed part is large, so a stream of small frames costs no copies.
    if (m_begin > 64 * 1024 || m_begin > m_buffer.size() / 2) {
        std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
}

bool RtspStreamReader::Next(Item& item) {
    if (!m_error.empty()) {
        item.type = ItemType::Error;
        item.error = m_error;
        return true;
    }
    while (m_begin < m_end) {
        const uint8_t* p = m_buffer.data() + m_begin;
        const size_t avail = m_end - m_begin;
        if (p[0] == '$') {
            if (avail < 4) return false;
            const size_t length = (static_cast<size_t>(p[2]) << 8) | p[3];
            if (avail < 4 + length) return false;
            item.type = ItemType::Interleaved;
            item.channel = p[1];
            item.data = p + 4;
            item.size = length;
            m_begin += 4 + length;
            m_garbageRun = 0;
            return true;
        }
        bool complete = false;
        if (MayStartMessage(p, avail, &complete)) {
            if (!complete) return false;
            // Find the empty line that ends the head.
            const size_t searchLimit = std::min(avail, kMaxHeadBytes + 4);
            size_t headEnd = std::string::npos;
            size_t bodyStart = 0;
            for (size_t i = 0; i + 1 < searchLimit; ++i) {
                if (p[i] != '\n') continue;
                if (p[i + 1] == '\n') {
                    headEnd = i;
                    bodyStart = i + 2;
                    break;
                }
                if (p[i + 1] == '\r' && i + 2 < searchLimit && p[i + 2] == '\n') {
                    headEnd = i;
                    bodyStart = i + 3;
                    break;
                }
            }
            if (headEnd == std::string::npos) {
                if (avail > kMaxHeadBytes) {
                    m_error = "RTSP message head longer than 16384 bytes";
                    item.type = ItemType::Error;
                    item.error = m_error;
                    return true;
                }
                return false;
            }
            RtspResponse message;
            std::string head(reinterpret_cast<const char*>(p), headEnd);
            std::string problem = message.ParseHead(head);
            if (problem.empty()) {
                const int64_t length = message.ContentLength();
                if (length < 0) problem = "invalid Content-Length";
                else if (length > kMaxBodyBytes) problem = "RTSP message body larger than 1048576 bytes";
                else {
                    if (avail < bodyStart + static_cast<size_t>(length)) return false;
                    message.body.assign(reinterpret_cast<const char*>(p) + bodyStart, static_cast<size_t>(length));
                    message.text.assign(reinterpret_cast<const char*>(p), bodyStart + static_cast<size_t>(length));
                    m_begin += bodyStart + static_cast<size_t>(length);
                    m_garbageRun = 0;
                    item.type = ItemType::Message;
                    item.message = std::move(message);
                    return true;
                }
            }
            m_error = problem;
            item.type = ItemType::Error;
            item.error = m_error;
            return true;
        }
        // Neither a frame nor a message: skip one byte and look again, within bounds.
        ++m_begin;
        ++m_totalSkipped;
        if (++m_garbageRun > kMaxGarbageBytes) {
            m_error = "unrecognised data on the RTSP connection";
            item.type = ItemType::Error;
            item.error = m_error;
            return true;
        }
    }
    return false;
}

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
