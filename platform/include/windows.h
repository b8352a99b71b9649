// The few Win32 kernel calls the port channel and the download use, over POSIX.
//
// Handles are opaque; a handle is released only by CloseHandle. Every call
// that fails sets the calling thread's last-error value (GetLastError).
#pragma once

#include <cstdint>

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef std::uint32_t DWORD;
typedef DWORD *LPDWORD;
typedef void *HANDLE;
typedef HANDLE HINSTANCE;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef std::intptr_t LONG_PTR;
typedef struct _SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED *LPOVERLAPPED;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef NULL
#define NULL nullptr
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

// CreateFileA access, disposition and attributes.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

#define SW_SHOWNORMAL 1

// PurgeComm flags.
#define PURGE_TXABORT 0x0001
#define PURGE_RXABORT 0x0002
#define PURGE_TXCLEAR 0x0004
#define PURGE_RXCLEAR 0x0008

// SetCommMask events.
#define EV_RXCHAR 0x0001
#define EV_RXFLAG 0x0002
#define EV_TXEMPTY 0x0004
#define EV_CTS 0x0008
#define EV_DSR 0x0010
#define EV_RLSD 0x0020
#define EV_BREAK 0x0040
#define EV_ERR 0x0080
#define EV_RING 0x0100

// Last-error values this layer sets.
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_GEN_FAILURE 31
#define ERROR_NOT_SUPPORTED 50
#define ERROR_INVALID_PARAMETER 87
#define ERROR_BROKEN_PIPE 109
#define ERROR_DISK_FULL 112
#define ERROR_BUSY 170
#define ERROR_OPERATION_ABORTED 995
#define ERROR_IO_DEVICE 1117
#define ERROR_DEVICE_NOT_CONNECTED 1167
#define ERROR_TIMEOUT 1460

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

// Opens an existing device or file; never creates one. Only OPEN_EXISTING is
// supported. The DOS names LPTn and COMn (any case, optional "\\.\" prefix
// and trailing ':') map to /dev/lp<n-1> and /dev/ttyS<n-1>, or to the path in
// DOSDEV_<NAME> when that is set; any other name is a path. Share mode 0 is
// exclusive: a second opener gets ERROR_ACCESS_DENIED. A tty is switched to
// byte-exact output (line settings untouched) and restored by CloseHandle; a
// regular file is written in append mode; a FIFO is opened write-only, so one
// that nobody reads fails to open. Returns INVALID_HANDLE_VALUE on
// failure.
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

// Synchronous write; lpOverlapped must be NULL. Deadline: the handle's
// WriteTotalTimeoutMultiplier * n + WriteTotalTimeoutConstant ms from the
// call's start (none when both are 0). Partial writes are continued until then.
//   all written:  TRUE, *written == n.
//   time-out:     TRUE, *written < n (the count so far), last error ERROR_TIMEOUT.
//   hard error:   FALSE, *written valid (hang-up, broken pipe, disk full, I/O error).
//   interrupted:  FALSE, *written valid, ERROR_OPERATION_ABORTED (SIGINT/SIGTERM).
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);

// Waits, bounded by the write timeouts, until the device has taken what the
// kernel still queues, restores a tty's settings, releases the lock and the
// handle. The handle is released in every case. Returns FALSE with
// ERROR_TIMEOUT when queued bytes did not drain in time (they may be lost),
// ERROR_OPERATION_ABORTED when interrupted (queued output is discarded),
// ERROR_INVALID_HANDLE for a handle that is not open.
BOOL WINAPI CloseHandle(HANDLE hObject);

// Discards what the device has not yet sent (PURGE_TXABORT, PURGE_TXCLEAR),
// where the kernel allows it (a tty's queue; a pipe keeps what it holds), so
// that nothing more goes out, and makes the next CloseHandle return without
// waiting for the device. FALSE only for an invalid handle.
BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags);

// Keep the event mask per handle (no events are delivered). FALSE only for an
// invalid handle.
BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask);

// Read and set the handle's time-outs; a new handle has all five at 0 (no
// time-outs). They apply to every kind of device. FALSE only for an invalid
// handle.
BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);

// Blocks for dwMilliseconds, resuming after signals; returns early only when
// the program is being interrupted (SIGINT/SIGTERM).
void WINAPI Sleep(DWORD dwMilliseconds);

DWORD WINAPI GetLastError();
void WINAPI SetLastError(DWORD dwErrCode);

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);
