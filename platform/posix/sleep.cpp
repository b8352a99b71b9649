#include <windows.h>

#include <platform/interrupt.h>

#include <algorithm>
#include <chrono>
#include <thread>

void WINAPI Sleep(DWORD dwMilliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(dwMilliseconds);
    const auto slice = std::chrono::milliseconds(20);
    for (auto now = Clock::now(); now < end && !Platform::Interrupted(); now = Clock::now())
        std::this_thread::sleep_for(std::min<Clock::duration>(end - now, slice));
}
