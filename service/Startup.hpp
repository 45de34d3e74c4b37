#pragma once

#include "service/VTService.hpp"

#include <memory>
#include <string>
#include <vector>

namespace config {
class TMessLog;
}
namespace db {
class TODBC;
class TODBCConn;
}
namespace loop {
class TLoop;
}

namespace service {

// The process-wide state that start-up creates and shutdown frees, and the
// work of the main timer. Main thread only.
class TServer : public TServiceCore {
public:
    explicit TServer(platform::TMainLoop& mainLoop);
    ~TServer() override;

    // True when at least one loop controller was created; a failed attempt
    // frees everything again.
    bool StartUp(platform::TTimer& timMain) override;
    // Idempotent; may be called in any state.
    void ShutDown(platform::TTimer& timMain) override;
    void MainTick() override;

    std::unique_ptr<config::TMessLog> MainLog;
    std::unique_ptr<db::TODBCConn> MainConnection;
    std::unique_ptr<db::TODBC> MainDatabase;
    std::vector<std::unique_ptr<loop::TLoop>> Loops;
    std::string LoopIdList;
    int TickCount = 0;
    int LastMinute = 0;

private:
    void AddLoops(const std::string& sql, bool listIds);

    platform::TMainLoop& m_mainLoop;
};

// <home>/log/dadid.log
std::string MainLogFileName();

} // namespace service
