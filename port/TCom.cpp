//---------------------------------------------------------------------------
#include <stdio.h>

#include <SysUtils.hpp>

#include "TCom.h"
//---------------------------------------------------------------------------
TCom::TCom() : Handle(INVALID_HANDLE_VALUE) {}
//---------------------------------------------------------------------------
TCom::~TCom() {
    Release();
}
//---------------------------------------------------------------------------
void TCom::Release() {
    if (Handle != INVALID_HANDLE_VALUE) {
        // After a failure nothing more of the stream may reach the printer.
        PurgeComm(Handle, PURGE_TXABORT | PURGE_TXCLEAR);
        CloseHandle(Handle);
        Handle = INVALID_HANDLE_VALUE;
    }
}
//---------------------------------------------------------------------------
void TCom::Close() {
    if (Handle != INVALID_HANDLE_VALUE) {
        HANDLE Port = Handle;
        Handle = INVALID_HANDLE_VALUE;
        // Bytes still queued when the device gave up have not reached the
        // printer: that is a failed transfer, not a finished one.
        if (!CloseHandle(Port))
            throw Exception("Time Out.   Printer not ready.");
    }
}
//---------------------------------------------------------------------------
void TCom::Open(const char *Name) {
    Close();
    Handle = CreateFileA(Name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, NULL);
    if (Handle == INVALID_HANDLE_VALUE)
        throw Exception(AnsiString("Open ") + Name + " fault");

    SetCommMask(Handle, EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_BREAK | EV_ERR);
    COMMTIMEOUTS Timeouts;
    GetCommTimeouts(Handle, &Timeouts);
    Timeouts.ReadIntervalTimeout = 200;
    Timeouts.ReadTotalTimeoutMultiplier = 100;
    Timeouts.ReadTotalTimeoutConstant = 200;
    Timeouts.WriteTotalTimeoutMultiplier = 100;
    Timeouts.WriteTotalTimeoutConstant = 200;
    SetCommTimeouts(Handle, &Timeouts);
}
//---------------------------------------------------------------------------
void TCom::OpenPort(int Index) {
    char Name[100];
    if (Index == 0)
        snprintf(Name, sizeof Name, "LPT1");
    else if (Index == 5)
        snprintf(Name, sizeof Name, "LPT2");
    else
        snprintf(Name, sizeof Name, "COM%d", Index);
    Open(Name);
}
//---------------------------------------------------------------------------
void TCom::Write(const void *Buffer, int Count) {
    DWORD Written = 0;
    DWORD Wanted = Count > 0 ? DWORD(Count) : 0;
    if (!WriteFile(Handle, Buffer, Wanted, &Written, NULL)) {
        Release();
        throw Exception("Time Out.   Printer not ready.");
    }
    if (Written < Wanted)
        throw Exception("Printer not ready.");
}
//---------------------------------------------------------------------------
void TCom::WriteByte(unsigned char Value) {
    DWORD Written = 0;
    if (!WriteFile(Handle, &Value, 1, &Written, NULL)) {
        Release();
        throw Exception("Time Out.  Printer not ready.");
    }
    if (Written != 1)
        throw Exception("Printer not ready.");
}
//---------------------------------------------------------------------------
