#pragma once

#include <chrono>
#include <stop_token>

namespace platform {

// Blocks SIGTERM and SIGINT for the calling thread and the threads it starts
// later, so that only WaitForStopSignal receives them. Call first in main().
void BlockStopSignals() noexcept;
// Waits up to slice for SIGTERM or SIGINT; true when one arrived.
bool WaitForStopSignal(std::chrono::milliseconds slice) noexcept;

} // namespace platform
