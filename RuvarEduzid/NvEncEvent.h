#pragma once

#include <chrono>

namespace Halvora {
namespace RuvarEduzid {

// The completion event of NVENC's asynchronous mode: an auto-reset, initially unsignalled event.
// On Linux it is an eventfd; the handle NVENC receives (`NativeHandle`) is the descriptor number
// cast to a pointer, and whoever completes the work signals it by writing a count to that
// descriptor. A wait consumes the signal, like an auto-reset event.
class NvEncEvent {
public:
    NvEncEvent();  // throws CodeErrorException when no event can be made
    ~NvEncEvent();
    NvEncEvent(const NvEncEvent&) = delete;
    NvEncEvent& operator=(const NvEncEvent&) = delete;

    void* NativeHandle() const;
    void Signal();
    // Waits until signalled or `timeout` passed; true when signalled.
    bool Wait(std::chrono::milliseconds timeout);
    // Waits until signalled.
    void Wait();

private:
    bool WaitFor(int timeoutMs);
    int m_fd = -1;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
