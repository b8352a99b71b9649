#include <platform/interrupt.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <algorithm>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <unistd.h>

namespace Platform {
namespace {

std::atomic<int> pending{0};

// A byte in this pipe wakes every InterruptiblePoll: a signal handler and
// another thread can both write it, and no wait can miss it.
struct TWake {
    int readEnd = -1, writeEnd = -1;
    TWake() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            readEnd = fds[0];
            writeEnd = fds[1];
        }
    }
} wake;
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
    if (pending.compare_exchange_strong(none, signal) && wake.writeEnd >= 0) {
        char byte = 1;
        (void)!write(wake.writeEnd, &byte, 1); // async-signal-safe
    }
}

int InterruptSignal() {
    return pending.load();
}

void ResetInterrupt() {
    pending.store(0);
    char drain[16];
    while (wake.readEnd >= 0 && read(wake.readEnd, drain, sizeof drain) > 0) {
    }
}

int InterruptiblePoll(pollfd *fds, unsigned long count, int timeoutMs) {
    pollfd all[8];
    if (count + 1 > std::size(all)) {
        errno = EINVAL;
        return -1;
    }
    std::copy(fds, fds + count, all);
    all[count] = {wake.readEnd, POLLIN, 0};
    for (;;) {
        if (Interrupted()) {
            errno = EINTR;
            return -1;
        }
        int result = poll(all, count + 1, timeoutMs);
        if (result < 0 && errno == EINTR)
            continue; // another signal: the flag decides
        if (result > 0 && (all[count].revents & POLLIN) && Interrupted()) {
            errno = EINTR;
            return -1;
        }
        std::copy(all, all + count, fds);
        return result < 0 ? result : result - ((all[count].revents & POLLIN) ? 1 : 0);
    }
}

} // namespace Platform
