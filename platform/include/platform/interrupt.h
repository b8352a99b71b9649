// How the program is told to stop: SIGINT and SIGTERM, or a front-end that is
// closed mid-transfer. Once interrupted, the platform's blocking calls give up:
// writes fail with ERROR_OPERATION_ABORTED, Sleep returns, CreateFileA fails,
// CloseHandle discards queued output, ShowMessage and loading raise EAbort.
#pragma once

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

// For tests: forget an interruption.
void ResetInterrupt();

} // namespace Platform
