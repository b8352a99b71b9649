//---------------------------------------------------------------------------
#ifndef Unit1H
#define Unit1H
//---------------------------------------------------------------------------
#include <Classes.hpp>
#include <Controls.hpp>
#include <Forms.hpp>
#include <ComCtrls.hpp>
#include <ExtCtrls.hpp>
#include <CGauges.h>
//---------------------------------------------------------------------------
// The download window: a progress gauge and the port choice, which is never
// shown. Its activation runs the whole download.
// clang-format off
class TForm1 : public TForm
{
__published:    // Components and handlers named in Unit1.dfm
    TPageControl *PageControl1;
    TTabSheet *TabSheet2;
    TCGauge *Gauge;
    TRadioGroup *rdPort;
    void __fastcall FormActivate(TObject *Sender);

    BEGIN_PUBLISHED
        PUBLISHED_FIELD(PageControl1)
        PUBLISHED_FIELD(TabSheet2)
        PUBLISHED_FIELD(Gauge)
        PUBLISHED_FIELD(rdPort)
        PUBLISHED_METHOD(FormActivate)
    END_PUBLISHED

public:
    __fastcall TForm1(TComponent *AOwner);
};
// clang-format on
//---------------------------------------------------------------------------
extern TForm1 *Form1;
//---------------------------------------------------------------------------
#endif
