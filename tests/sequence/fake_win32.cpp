#include "fake_win32.h"

#include <platform/interrupt.h>

namespace {

TFakeWin32 fake;
DWORD lastError = 0;
int writeCalls = 0;
int connection = 0;
char handleToken;

} // namespace

TFakeWin32 &Fake() {
    return fake;
}

void ResetFake() {
    fake = TFakeWin32();
    writeCalls = 0;
    connection = 0;
}

std::vector<unsigned char> TFakeWin32::Stream(int which) const {
    std::vector<unsigned char> bytes;
    for (const TWriteCall &w : Writes)
        if (w.Connection == which)
            bytes.insert(bytes.end(), w.Bytes.begin(), w.Bytes.end());
    return bytes;
}

std::vector<size_t> TFakeWin32::CallSizes(int which) const {
    std::vector<size_t> sizes;
    for (const TWriteCall &w : Writes)
        if (w.Connection == which)
            sizes.push_back(w.Bytes.size());
    return sizes;
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    fake.Opened.push_back(name);
    fake.Log.push_back(std::string("open ") + name);
    if (int(fake.Opened.size()) == fake.FailOpen) {
        lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    ++connection;
    ++fake.OpenHandles;
    return &handleToken;
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED) {
    *written = 0;
    if (h != &handleToken) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    ++writeCalls;
    fake.Log.push_back("write " + std::to_string(count));
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    DWORD accepted = count;
    BOOL result = TRUE;
    if (writeCalls == fake.WriteCall) {
        if (fake.OnWrite)
            fake.OnWrite();
        if (fake.WriteEffect == TFakeWin32::Fails) {
            accepted = 0;
            result = FALSE;
            lastError = Platform::Interrupted() ? ERROR_OPERATION_ABORTED : ERROR_IO_DEVICE;
        } else {
            accepted = std::min(count, fake.ShortCount);
            lastError = ERROR_TIMEOUT;
        }
    }
    fake.Writes.push_back({connection, std::vector<unsigned char>(bytes, bytes + accepted)});
    *written = accepted;
    return result;
}

BOOL WINAPI CloseHandle(HANDLE h) {
    if (h != &handleToken) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    fake.Log.push_back("close");
    --fake.OpenHandles;
    return fake.CloseResult;
}

BOOL WINAPI PurgeComm(HANDLE, DWORD) {
    fake.Log.push_back("purge");
    return TRUE;
}

BOOL WINAPI SetCommMask(HANDLE, DWORD mask) {
    fake.MasksSet.push_back(mask);
    return TRUE;
}

BOOL WINAPI GetCommTimeouts(HANDLE, LPCOMMTIMEOUTS t) {
    *t = COMMTIMEOUTS{1, 2, 3, 4, 5};
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS t) {
    fake.TimeoutsSet.push_back(*t);
    return TRUE;
}

void WINAPI Sleep(DWORD ms) {
    fake.Sleeps.push_back(ms);
    fake.Log.push_back("sleep " + std::to_string(ms));
}

DWORD WINAPI GetLastError() {
    return lastError;
}
void WINAPI SetLastError(DWORD e) {
    lastError = e;
}
