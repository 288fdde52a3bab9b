#include "RuvarEduzid/NvEncEvent.h"

#include "Common/Exception.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace Halvora {
namespace RuvarEduzid {

NvEncEvent::NvEncEvent() {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        HALVORA_THROW("Could not create an event: " << std::strerror(errno));
    }
    if (fd < 3) {
        // A descriptor 0 would read as a null handle; keep event handles clear of the standard streams.
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        if (moved < 0) {
            HALVORA_THROW("Could not create an event: " << std::strerror(errno));
        }
        fd = moved;
    }
    m_fd = fd;
}

NvEncEvent::~NvEncEvent() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

void* NvEncEvent::NativeHandle() const {
    return reinterpret_cast<void*>(static_cast<intptr_t>(m_fd));
}

void NvEncEvent::Signal() {
    uint64_t one = 1;
    // The counter only saturates after 2^64 - 2 signals; a failed write then changes nothing.
    ssize_t written = write(m_fd, &one, sizeof(one));
    (void)written;
}

bool NvEncEvent::WaitFor(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        uint64_t count = 0;
        if (read(m_fd, &count, sizeof(count)) == static_cast<ssize_t>(sizeof(count))) {
            return true;
        }
        int waitMs = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            waitMs = static_cast<int>(left.count());
        }
        pollfd p{m_fd, POLLIN, 0};
        int rc = poll(&p, 1, waitMs);
        if (rc < 0 && errno != EINTR) {
            return false;
        }
    }
}

bool NvEncEvent::Wait(std::chrono::milliseconds timeout) {
    return WaitFor(static_cast<int>(timeout.count() < 0 ? 0 : timeout.count()));
}

void NvEncEvent::Wait() {
    WaitFor(-1);
}

}  // namespace RuvarEduzid
}  // namespace Halvora
