#pragma once

#include <SysUtils.hpp>

// A modal box with the text and an OK button, captioned with the application
// title; returns when it is dismissed. Raises EAbort when the program is being
// interrupted.
void __fastcall ShowMessage(const AnsiString &Msg);
