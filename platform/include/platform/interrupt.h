// How the program is told to stop: SIGINT and SIGTERM, or a front-end that is
// closed mid-transfer. Once interrupted, the platform's blocking calls give up:
// writes fail with ERROR_OPERATION_ABORTED, Sleep returns, CreateFileA fails,
// CloseHandle discards queued output, ShowMessage and loading raise EAbort.
#pragma once

struct pollfd;

namespace Platform {

// SIGINT and SIGTERM interrupt; SIGHUP and SIGPIPE are ignored.
void InstallSignalHandlers();

// Records an interruption as if the signal had arrived (async-signal-safe).
void Interrupt(int signal);

// The first interrupting signal, or 0.
int InterruptSignal();
inline bool Interrupted() {
    return InterruptSignal() != 0;
}

// poll(2) on up to 7 descriptors that an interruption ends at once, from a
// signal or another thread, with no race between looking at the flag and
// waiting: returns 0 on a time-out, -1 with errno EINTR when interrupted, else
// the number of ready descriptors. timeoutMs < 0 waits on.
int InterruptiblePoll(pollfd *fds, unsigned long count, int timeoutMs);

// For tests: forget an interruption.
void ResetInterrupt();

} // namespace Platform
