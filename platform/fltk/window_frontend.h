// The windowed front-end: forms as X11 windows drawn with FLTK.
#pragma once

#include <platform/frontend.h>

#include <memory>

namespace Platform {

// Opens the display that DISPLAY names and returns the window front-end on
// it; nullptr when DISPLAY is unset or the display cannot be opened.
std::unique_ptr<TFrontEnd> CreateWindowFrontEnd();

} // namespace Platform

// The same, as the window module's entry point (the caller owns the result).
extern "C" Platform::TFrontEnd *FwdCreateWindowFrontEnd();

namespace Platform {} // namespace Platform
