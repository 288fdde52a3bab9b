#include "Common/MemoryStream.h"

#include <cstring>

namespace Halvora {
namespace IO {

namespace {
bool Resolve(int64_t offset, SeekType origin, size_t position, size_t size, size_t& result) {
    int64_t base = origin == SeekType::Begin ? 0 : origin == SeekType::Current ? static_cast<int64_t>(position)
                                                                                : static_cast<int64_t>(size);
    int64_t target = base + offset;
    if (target < 0) return false;
    result = static_cast<size_t>(target);
    return true;
}
}  // namespace

size_t MemoryInputStream::Read(uint8_t* buffer, size_t count) {
    if (m_position >= m_size || count == 0) return 0;
    size_t n = std::min(count, m_size - m_position);
    std::memcpy(buffer, m_data + m_position, n);
    m_position += n;
    return n;
}

bool MemoryInputStream::Seek(int64_t offset, SeekType origin) {
    size_t target;
    if (!Resolve(offset, origin, m_position, m_size, target) || target > m_size) return false;
    m_position = target;
    return true;
}

void MemoryOutputStream::Write(const uint8_t* data, size_t count) {
    if (count == 0) return;
    if (m_position + count > m_buffer.size()) m_buffer.resize(m_position + count);
    std::memcpy(m_buffer.data() + m_position, data, count);
    m_position += count;
}

bool MemoryOutputStream::Seek(int64_t offset, SeekType origin) {
    size_t target;
    if (!Resolve(offset, origin, m_position, m_buffer.size(), target)) return false;
    m_position = target;
    return true;
}

}  // namespace IO
}  // namespace Halvora
