// The run-time start-up: forms the command-line tail from the arguments, sets
// up signals and the front-end, and runs the entry routine.
#include <windows.h>

#include <Forms.hpp>
#include <platform/frontend.h>
#include <platform/interrupt.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifndef FWD_VERSION
#define FWD_VERSION "0"
#endif

namespace {

const char kUsage[] =
    "Usage: fwdownload IMAGE\n"
    "Send the firmware image IMAGE to the printer on LPT1: a short prelude, a\n"
    "3-second pause, then a header, the image in 5120-byte blocks and a 16-bit\n"
    "checksum. The arguments are joined with single blanks to form the path.\n"
    "\n"
    "Devices: LPTn opens /dev/lp<n-1> and COMn /dev/ttyS<n-1>, unless DOSDEV_<NAME>\n"
    "names another device or a capture file, e.g. DOSDEV_LPT1=/dev/usb/lp0.\n"
    "The window is used when a display can be opened; FWDOWNLOAD_FRONTEND=terminal\n"
    "keeps the terminal.\n"
    "\n"
    "Exit status: 0 download completed, 1 failed (the message says why),\n"
    "130 interrupted by SIGINT, 143 stopped by SIGTERM. SIGHUP is ignored.\n";

std::string CommandLineTail(int argc, char **argv) {
    std::string tail;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            tail += ' ';
        tail += argv[i];
    }
    return tail;
}

std::string ProgramName(const char *argv0) {
    if (argv0 == nullptr || *argv0 == '\0')
        return "fwdownload";
    const char *slash = std::strrchr(argv0, '/');
    return slash ? slash + 1 : argv0;
}

} // namespace

int main(int argc, char **argv) {
    std::string tail = CommandLineTail(argc, argv);
    if (tail == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (tail == "--version") {
        std::puts("fwdownload " FWD_VERSION);
        return 0;
    }
    Platform::InstallSignalHandlers();
    Platform::SetFrontEnd(Platform::ChooseFrontEnd());

    std::vector<char> commandLine(tail.begin(), tail.end());
    commandLine.push_back('\0');
    int status;
    {
        TApplication application(nullptr);
        application.Title = ProgramName(argc > 0 ? argv[0] : nullptr);
        Application = &application;
        status = WinMain(nullptr, nullptr, commandLine.data(), SW_SHOWNORMAL);
    }
    Application = nullptr;
    Platform::SetFrontEnd(nullptr);
    return status;
}
