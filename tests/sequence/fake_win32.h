// A scripted stand-in for the Win32 calls: it records every call and can make
// one of them fail, as a printer or a port would.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

struct TWriteCall {
    int Connection; // 1 for the first opening, 2 for the second ...
    std::vector<unsigned char> Bytes;
};

struct TFakeWin32 {
    std::vector<std::string> Opened; // names given to CreateFileA, failed ones too
    std::vector<TWriteCall> Writes;  // accepted bytes of each WriteFile call
    std::vector<DWORD> Sleeps;
    std::vector<std::string> Log; // "open LPT1", "write 512", "close", "sleep 3000"
    std::vector<COMMTIMEOUTS> TimeoutsSet;
    std::vector<DWORD> MasksSet;
    int OpenHandles = 0;

    // Which opening fails (1-based; 0: none).
    int FailOpen = 0;
    // For WriteFile call number N (1-based over the run): what happens.
    int WriteCall = 0; // which call the effect applies to (0: none)
    enum { Fails, Short } WriteEffect = Fails;
    DWORD ShortCount = 0;
    std::function<void()> OnWrite; // runs inside that call, before its effect
    BOOL CloseResult = TRUE;

    // The bytes of one connection, all write calls together.
    std::vector<unsigned char> Stream(int connection) const;
    // Sizes of the write calls of one connection.
    std::vector<size_t> CallSizes(int connection) const;
};

// The fake in use; reset before each test.
TFakeWin32 &Fake();
void ResetFake();
