// The start-up's choice in a build with the window: the window where a display
// can be opened, else the terminal. FWDOWNLOAD_FRONTEND=terminal keeps the
// terminal; FWDOWNLOAD_FRONTEND=window insists on the window.
#include "window_frontend.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

std::unique_ptr<Platform::TFrontEnd> Platform::ChooseFrontEnd() {
    const char *name = program_invocation_short_name;
    const char *set = std::getenv("FWDOWNLOAD_FRONTEND");
    std::string choice = set ? set : "";
    if (choice == "terminal")
        return CreateTerminalFrontEnd(STDOUT_FILENO, STDERR_FILENO);
    if (!choice.empty() && choice != "window" && choice != "auto")
        std::fprintf(stderr,
                     "%s: FWDOWNLOAD_FRONTEND=%s is neither terminal nor window; choosing by "
                     "the display\n",
                     name, choice.c_str());
    if (auto window = CreateWindowFrontEnd())
        return window;
    if (choice == "window") {
        const char *display = std::getenv("DISPLAY");
        if (display == nullptr || *display == '\0')
            std::fprintf(stderr, "%s: FWDOWNLOAD_FRONTEND=window, but DISPLAY is not set\n", name);
        else
            std::fprintf(stderr,
                         "%s: FWDOWNLOAD_FRONTEND=window, but display %s cannot be opened\n", name,
                         display);
        std::exit(1);
    }
    return CreateTerminalFrontEnd(STDOUT_FILENO, STDERR_FILENO);
}
