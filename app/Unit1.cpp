//---------------------------------------------------------------------------
#include <vcl.h>
#include <stdio.h>

#include <memory>

#include "Unit1.h"
#include "TCom.h"
//---------------------------------------------------------------------------
TForm1 *Form1;

namespace {

const int BlockSize = 5120; // sent as PiecesPerBlock pieces
const int PieceSize = 512;
const int PiecesPerBlock = BlockSize / PieceSize;
const DWORD PreludePause = 3000; // ms between the prelude and the transfer
const int LeadingReturns = 6;

// The header counts blocks in a signed 16-bit field and the tail in a second
// one, so the largest image it describes is 32767 blocks and a 5119-byte tail.
const __int64 MaxBlocks = 32767;
const __int64 MaxImageSize = MaxBlocks * BlockSize + BlockSize - 1;

} // namespace
//---------------------------------------------------------------------------
__fastcall TForm1::TForm1(TComponent *AOwner) : TForm(AOwner) {}
//---------------------------------------------------------------------------
void __fastcall TForm1::FormActivate(TObject *Sender) {
    (void)Sender;
    std::unique_ptr<TMemoryStream> Image(new TMemoryStream);
    TCom Com;
    char Text[128];

    // The prelude wakes the printer's loader; it gets three seconds to get ready.
    Com.OpenPort(rdPort->ItemIndex);
    Com.WriteByte(0x0D);
    Com.WriteByte(0x0D);
    Com.WriteByte(0x7E);
    Com.WriteByte(0x4F);
    Com.WriteByte(0x0D);
    Com.Close();

    Sleep(PreludePause);

    AnsiString Path = Application->Hint;
    if (!Image->LoadFromFile(Path, MaxImageSize))
        throw Exception("Image too large: the transfer header describes at most " +
                        std::to_string(MaxImageSize) +
                        " bytes, that is 32767 blocks of 5120 and a 5119-byte tail");

    Gauge->MaxValue = int(Image->Size);
    Gauge->MinValue = 0;
    Gauge->Progress = 0;

    short Blocks = short(Image->Size / BlockSize);
    short Tail = short(Image->Size % BlockSize);

    Com.OpenPort(rdPort->ItemIndex);
    for (int i = 0; i < LeadingReturns; i++)
        Com.WriteByte(0x0D);
    snprintf(Text, sizeof Text, "~N%c%cGO ", 0x0D, 0x0A);
    Com.Write(Text, 7);
    Com.WriteByte(Blocks & 0xFF);
    Com.WriteByte(Blocks >> 8);
    Com.WriteByte(Tail & 0xFF);
    Com.WriteByte(Tail >> 8);

    unsigned short Sum = 0;
    void *Memory = Image->Memory;
    const unsigned char *p = static_cast<const unsigned char *>(Memory);
    for (short Block = 0; Block < Blocks; Block++) {
        for (int k = 0; k < PiecesPerBlock; k++)
            Com.Write(p + k * PieceSize, PieceSize);
        Gauge->Progress = Gauge->Progress + BlockSize;
        for (int i = 0; i < BlockSize; i++)
            Sum += *p++;
    }
    for (short i = 0; i < Tail; i++) {
        Com.WriteByte(*p);
        Sum += *p++;
        Gauge->Progress = Gauge->Progress + 1;
    }
    unsigned char Low = Sum & 0xFF, High = Sum >> 8;
    Com.Write(&Low, 1);
    Com.Write(&High, 1);
    Com.Close();

    snprintf(Text, sizeof Text, "Checksum: %04X", unsigned(Sum));
    ShowMessage(Text);
    ShowMessage("Finish");
    Image.reset();
    Close();
}
//---------------------------------------------------------------------------
