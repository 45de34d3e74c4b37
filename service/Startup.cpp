#include "service/Startup.hpp"

#include "config/ConnParams.hpp"
#include "config/MessLog.hpp"
#include "platform/Paths.hpp"

#include <exception>

namespace service {

std::string MainLogFileName()
{
    return platform::HomeFolder() + "/log/dadid.log";
}

TServer::TServer() = default;

TServer::~TServer() = default;

bool TServer::StartUp(platform::TTimer& timMain)
{
    bool result = false;
    try {
        MainLog = std::make_unique<config::TMessLog>(
            MainLogFileName(),
            config::TMessLog::TOptions{.DeleteOnNewPeriod = true, .Rotate = true, .ByDayOfMonth = false,
                                       .NoHeader = false});
        TickCount = 0;
        const config::TConnParams params;
        MainLog->Log("Starting server, Reading Registry");
        MainLog->Log("Connecting to: " + params.Host + ", Database: " + params.Database);
        // The database connection and loop discovery complete start-up; until
        // they are there, no loop can be found and the attempt fails.
    } catch (const std::exception& e) {
        if (MainLog)
            MainLog->Log(std::string("StartUp - Exception: ") + e.what());
        result = false;
    }
    timMain.SetEnabled(result);
    Started = result;
    if (result)
        MainLog->Log("Started!");
    else
        ShutDown(timMain);
    return result;
}

void TServer::ShutDown(platform::TTimer& timMain)
{
    if (MainLog)
        MainLog->Log("ShutDown...");
    timMain.SetEnabled(false);
    MainLog.reset();
    Started = false;
}

void TServer::MainTick() {}

} // namespace service
