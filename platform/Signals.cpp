#include "platform/Signals.hpp"

#include <pthread.h>
#include <signal.h>
#include <time.h>

namespace platform {
namespace {

sigset_t StopSet() noexcept
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

} // namespace

void BlockStopSignals() noexcept
{
    const sigset_t set = StopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool WaitForStopSignal(std::chrono::milliseconds slice) noexcept
{
    const sigset_t set = StopSet();
    struct timespec ts {};
    ts.tv_sec = static_cast<time_t>(slice.count() / 1000);
    ts.tv_nsec = static_cast<long>((slice.count() % 1000) * 1000000);
    return sigtimedwait(&set, nullptr, &ts) > 0;
}

} // namespace platform
