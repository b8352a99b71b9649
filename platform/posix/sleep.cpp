#include <windows.h>

#include <platform/interrupt.h>

#include <chrono>

void WINAPI Sleep(DWORD dwMilliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(dwMilliseconds);
    // One wait, resumed after other signals; an interruption ends it at once.
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
        if (Platform::InterruptiblePoll(nullptr, 0, int(left)) < 0)
            return;
    }
}
