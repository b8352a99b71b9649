//---------------------------------------------------------------------------
// TCom: one printer port, LPT1/LPT2 or COM1..COM4, opened exclusively with the
// program's fixed event mask and write time-outs. Failures raise Exception
// with the text the user sees.
//---------------------------------------------------------------------------
#ifndef TComH
#define TComH

#include <windows.h>

class TCom {
public:
    TCom();
    ~TCom();
    TCom(const TCom &) = delete;
    TCom &operator=(const TCom &) = delete;

    // Waits until the device has taken what was written and releases it.
    // Raises "Time Out.   Printer not ready." when it had not.
    void Close();
    // Opens the device: "Open <name> fault" when it cannot.
    void Open(const char *Name);
    // 0 is LPT1, 5 is LPT2, any other index n is COMn.
    void OpenPort(int Index);
    // Writes all Count bytes: "Time Out.   Printer not ready." when the write
    // fails (the port is closed), "Printer not ready." when the printer took
    // fewer bytes within the time-out (the port stays open).
    void Write(const void *Buffer, int Count);
    // Writes one byte: "Time Out.  Printer not ready." when the write fails
    // (the port is closed), "Printer not ready." when the byte was not taken.
    void WriteByte(unsigned char Value);

private:
    // Lets go of the port at once, discarding what it has not sent; for
    // failures and the destructor.
    void Release();

    HANDLE Handle;
};

#endif
