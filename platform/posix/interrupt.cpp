#include <platform/interrupt.h>

#include <atomic>
#include <csignal>

namespace Platform {
namespace {

std::atomic<int> pending{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnInterruptSignal(int signal) {
    Interrupt(signal);
}

} // namespace

void InstallSignalHandlers() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGHUP, &ignore, nullptr);
    sigaction(SIGPIPE, &ignore, nullptr);

    // No SA_RESTART: a blocking call returns EINTR and sees the flag at once.
    struct sigaction stop = {};
    stop.sa_handler = OnInterruptSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
}

void Interrupt(int signal) {
    int none = 0;
    pending.compare_exchange_strong(none, signal);
}

int InterruptSignal() {
    return pending.load();
}

void ResetInterrupt() {
    pending.store(0);
}

} // namespace Platform
