//---------------------------------------------------------------------------
#include <vcl.h>

#include "Unit1.h"
//---------------------------------------------------------------------------
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR lpCmdLine, int) {
    try {
        Application->Initialize();
        Application->CreateForm(__classid(TForm1), &Form1);
        Application->Hint = lpCmdLine;
        Application->Run();
    } catch (Exception &exception) {
        Application->ShowException(&exception);
    } catch (...) {
        Application->HandleException(Application);
    }
    // 0 after a completed download, 1 after a failure the user was shown,
    // 128 + the signal after an interruption.
    return Application->ExitCode;
}
//---------------------------------------------------------------------------
