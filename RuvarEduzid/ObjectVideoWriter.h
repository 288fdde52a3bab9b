#pragma once

#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/IClipVideoWriter.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace Halvora {
namespace RuvarEduzid {

// Holds a clip writer for the host together with a counter, an open file descriptor and the
// time it was made. The host decides what to do with the fields; this object only sets them up
// and, when destroyed, closes the descriptor (if any) and releases its share of the writer.
class RUVAREDUZID_API ObjectVideoWriter {
public:
    explicit ObjectVideoWriter(const std::shared_ptr<IClipVideoWriter>& writer);
    ~ObjectVideoWriter();
    ObjectVideoWriter(const ObjectVideoWriter&) = delete;
    ObjectVideoWriter& operator=(const ObjectVideoWriter&) = delete;

    static constexpr int EmptyHandle = -1;

    std::shared_ptr<IClipVideoWriter> m_pWriter;
    int32_t m_counter = 0;
    // A file descriptor owned by this object, EmptyHandle when none.
    std::atomic<int> m_handle{EmptyHandle};
    // Monotonic clock reading at construction, in ticks of m_frequency per second.
    int64_t m_start = 0;
    int64_t m_frequency = 0;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
