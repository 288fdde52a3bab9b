#pragma once

#include "Common/Export.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Halvora {
namespace IO {

enum class SeekType { Begin = 0, Current = 1, End = 2 };

// Reads from memory it does not own.
class HALVORA_COMMON_API MemoryInputStream {
public:
    MemoryInputStream(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    // Copies up to `count` bytes; returns how many were copied (0 at the end).
    size_t Read(uint8_t* buffer, size_t count);
    size_t GetSize() const { return m_size; }
    size_t GetPosition() const { return m_position; }
    // Moves the read position; returns false (position unchanged) when it would leave [0, size].
    bool Seek(int64_t offset, SeekType origin);

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_position = 0;
};

// A growable byte buffer written at a position: writes past the end grow it, writes inside overwrite.
class HALVORA_COMMON_API MemoryOutputStream {
public:
    MemoryOutputStream() = default;
    void Write(const uint8_t* data, size_t count);
    // Moves the write position; a position past the end is allowed (the gap is zero-filled on the
    // next write); a negative resulting position is refused and returns false.
    bool Seek(int64_t offset, SeekType origin);
    size_t GetSize() const { return m_buffer.size(); }
    size_t GetPosition() const { return m_position; }
    const uint8_t* GetBuffer() const { return m_buffer.data(); }
    std::vector<uint8_t>& Data() { return m_buffer; }
    void Clear() {
        m_buffer.clear();
        m_position = 0;
    }

private:
    std::vector<uint8_t> m_buffer;
    size_t m_position = 0;
};

}  // namespace IO
}  // namespace Halvora
