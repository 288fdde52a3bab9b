#include "RuvarEduzid/ObjectVideoWriter.h"

#include <unistd.h>

#include <chrono>

namespace Halvora {
namespace RuvarEduzid {

ObjectVideoWriter::ObjectVideoWriter(const std::shared_ptr<IClipVideoWriter>& writer) : m_pWriter(writer) {
    using Clock = std::chrono::steady_clock;
    m_start = static_cast<int64_t>(Clock::now().time_since_epoch().count());
    m_frequency = static_cast<int64_t>(Clock::period::den / Clock::period::num);
}

ObjectVideoWriter::~ObjectVideoWriter() {
    const int old = m_handle.exchange(EmptyHandle);
    if (old != EmptyHandle) {
        ::close(old);
    }
    m_pWriter.reset();
}

}  // namespace RuvarEduzid
}  // namespace Halvora
