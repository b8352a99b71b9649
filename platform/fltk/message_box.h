// The modal boxes: a message with OK, and the error display with a stop icon.
#pragma once

#include <functional>

#include <FL/Enumerations.H>

#include <string>

namespace Platform {

enum class TBoxKind { Message, Error };

// Shows the box centred on the screen, captioned Caption, and dispatches until
// it is dismissed (OK, Return, Escape or closing it) or the run is interrupted.
// Returns false when it ended because of an interruption. While it waits,
// Idle (if given) runs now and then, for the windows behind it.
bool RunMessageBox(const std::string &Text, const std::string &Caption, TBoxKind Kind, Fl_Font Face,
                   int FontSize, const std::function<void()> &Idle = {});

} // namespace Platform
