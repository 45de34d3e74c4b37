#pragma once

#include "service/VTService.hpp"

#include <memory>
#include <string>

namespace config {
class TMessLog;
}

namespace service {

// The process-wide state that start-up creates and shutdown frees, and the
// work of the main timer. Main thread only.
class TServer : public TServiceCore {
public:
    TServer();
    ~TServer() override;

    // True when at least one loop controller was created; a failed attempt
    // frees everything again.
    bool StartUp(platform::TTimer& timMain) override;
    // Idempotent; may be called in any state.
    void ShutDown(platform::TTimer& timMain) override;
    void MainTick() override;

    std::unique_ptr<config::TMessLog> MainLog;
    std::string LoopIdList;
    int TickCount = 0;
};

// <home>/log/dadid.log
std::string MainLogFileName();

} // namespace service
