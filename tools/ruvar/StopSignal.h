#pragma once

// Ctrl-C and SIGTERM: the first asks the running command to stop reading and to finish what it
// writes; a second ends the tool at once. The handler only counts and wakes a watcher thread, which
// interrupts the decoder in use (the one call the library takes from another thread).

#include <memory>

namespace Halvora {
namespace RuvarEduzid {
class FFMpegDecoder;
}
}  // namespace Halvora

namespace Ruvar {

class StopSignal {
public:
    // Installs the handlers and starts the watcher; the watcher ends with the object.
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // True once a stop was asked for; Signal() is then the signal's number.
    static bool Requested();
    static int Signal();
    // The decoder a stop interrupts (replacing the one before); interrupted at once when a stop
    // came before it was known.
    static void Watch(const std::shared_ptr<Halvora::RuvarEduzid::FFMpegDecoder>& decoder);
};

}  // namespace Ruvar
