// Lines for a terminal or a log, written so that neither a vanished terminal
// nor a hostile file name can do harm.
#pragma once

#include <string>

namespace Platform {

// Control characters (a newline or an escape sequence in a file name, say)
// become \xNN: shown, not obeyed.
std::string Printable(const std::string &text);

// Writes all of `text`, resuming after signals; write errors are ignored.
void WriteAll(int fd, const std::string &text);

} // namespace Platform
