// Sleep for the test build of the program: the pause between the prelude and
// the transfer lasts FWD_TEST_PAUSE_MS milliseconds (default 0) instead of the
// three seconds a printer needs, and still ends at SIGINT or SIGTERM.
#include <windows.h>

#include <platform/interrupt.h>

#include <chrono>
#include <cstdlib>
#include <thread>

void WINAPI Sleep(DWORD) {
    long ms = 0;
    if (const char *text = std::getenv("FWD_TEST_PAUSE_MS"))
        ms = std::strtol(text, nullptr, 10);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end && !Platform::Interrupted())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
