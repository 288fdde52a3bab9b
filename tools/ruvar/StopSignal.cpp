#include "tools/ruvar/StopSignal.h"

#include "RuvarEduzid/FFMpegDecoder.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace Ruvar {

namespace {

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free counter");
std::atomic<int> g_stops{0};
std::atomic<int> g_signal{0};
int g_wake[2] = {-1, -1};
std::thread g_watcher;

std::mutex g_decoderMutex;
std::weak_ptr<Halvora::RuvarEduzid::FFMpegDecoder> g_decoder;

void InterruptWatched() {
    std::shared_ptr<Halvora::RuvarEduzid::FFMpegDecoder> decoder;
    {
        std::lock_guard<std::mutex> lock(g_decoderMutex);
        decoder = g_decoder.lock();
    }
    if (decoder) decoder->Interrupt();
}

// Only async-signal-safe work here: a lock-free counter and write(2).
extern "C" void OnStopSignal(int signal) {
    const int savedErrno = errno;
    int none = 0;
    g_signal.compare_exchange_strong(none, signal);
    if (g_stops.fetch_add(1) > 0) ::_exit(128 + signal);
    static const char kNote[] = "\nruvar: stopping; finishing the output (press Ctrl-C again to quit at once)\n";
    ssize_t ignored = ::write(STDERR_FILENO, kNote, sizeof kNote - 1);
    const char wake = 's';
    ignored = ::write(g_wake[1], &wake, 1);
    (void)ignored;
    errno = savedErrno;
}

}  // namespace

StopSignal::StopSignal() {
    if (::pipe(g_wake) != 0) return;  // no watcher: the default handling stays
    g_watcher = std::thread([] {
        for (;;) {
            char c = 0;
            const ssize_t n = ::read(g_wake[0], &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || c == 'q') return;
            InterruptWatched();
        }
    });
    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    // Restarted system calls: a file write of the library must not fail because of the signal.
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

StopSignal::~StopSignal() {
    if (!g_watcher.joinable()) return;
    const char quit = 'q';
    if (::write(g_wake[1], &quit, 1) == 1) g_watcher.join();
    else g_watcher.detach();
}

bool StopSignal::Requested() { return g_stops.load() > 0; }

int StopSignal::Signal() { return g_signal.load(); }

void StopSignal::Watch(const std::shared_ptr<Halvora::RuvarEduzid::FFMpegDecoder>& decoder) {
    {
        std::lock_guard<std::mutex> lock(g_decoderMutex);
        g_decoder = decoder;
    }
    if (Requested() && decoder) decoder->Interrupt();
}

}  // namespace Ruvar
