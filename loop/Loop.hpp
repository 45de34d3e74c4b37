#pragma once

#include "loop/LoopConfig.hpp"
#include "loop/LoopEvents.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class TWorker;
}

namespace loop {

// "`loop`" on MySQL-family connections, where loop is a reserved word.
std::string LoopTable(const db::TODBC& database);

// How a loop is set up, beyond its row: the offline links, and where the
// set-up reads the loop's rows while the site database is away (the copy).
// Settings replace what the settings file holds (for tests).
struct TLoopOptions {
    TOfflineLinks Offline;
    std::string OfflineCopy;
    std::optional<TLoopSettings> Settings;
};

// One loop: its set-up, which builds the fixed configuration and the objects
// the handlers work with (connection, line, counters and input handlers per
// address), and the handlers (Events()), bound to the line. Made and destroyed
// on the main thread; the events, and the work others hand it, run on its
// worker one at a time in arrival order, so a slow decision on one loop holds
// up no other loop and never the main thread.
class TLoop {
public:
    // Sets the loop up completely: connects, upgrades the schema, reads the
    // devices and settings, binds the handlers and opens the line. A loop
    // whose database is unreachable is created inert (no line), unless the
    // options name an offline copy to set it up from.
    TLoop(config::TMessLog& log, int loopId, TLoopOptions options = {});
    // Waits until the loop is idle: what it was handed runs first.
    ~TLoop();
    TLoop(const TLoop&) = delete;
    TLoop& operator=(const TLoop&) = delete;

    // Any thread but the worker's: run work on the worker later (errors are
    // logged), or now and wait for it (false when the loop is going away).
    void Post(std::function<void()> work);
    bool Invoke(const std::function<void()>& work);
    // The lot-full pass on the worker, at most one pending.
    void PostUpdateOutputs();

    // The main thread's part: the line's command operations only.
    bool ForceGate(int address, bool open) noexcept;

    const TLoopConfig& Config() const noexcept { return m_config; }
    int LoopId() const noexcept { return m_config.LoopId; }
    // On the worker.
    TLoopEvents& Events() noexcept { return *m_events; }
    line::TCard* Line() const noexcept { return m_line.get(); }  // none while the database was unreachable
    db::TODBC& Database() const noexcept { return *m_database; }
    db::TODBCConn& Connection() const noexcept { return *m_connection; }

private:
    enum class TSetUpFrom { Site, Copy };
    // The set-up steps, in order.
    void UpgradeSchema();
    void EnsureUniqueBarcodes();
    void CreateCardInterface(TSetUpFrom from, const std::optional<TLoopSettings>& settings);
    void BindHandlers();
    void SetUpDevices(int& first, int& last);
    void MakeCountersAndInputs(int first, int last);
    void ReadLineSettings(bool rfModem, const std::optional<TLoopSettings>& settings);
    void OpenLine(int port, int first, int last);
    void MakePayOnFootCounters();

    config::TMessLog& m_log;
    TLoopConfig m_config;  // fixed once the set-up is done
    // Owned objects, released in reverse order: the line (and its threads)
    // first, the connection and its binding last.
    std::unique_ptr<db::TODBC> m_database;
    std::unique_ptr<db::TODBCConn> m_connection;
    std::shared_ptr<platform::TWorker> m_worker;  // shared by the loops on one SQLite file
    std::atomic<bool> m_outputsQueued{false};
    std::unique_ptr<counting::TEventLog> m_eventLog;
    std::vector<std::unique_ptr<counting::TInput>> m_inputs;
    std::vector<std::unique_ptr<counting::TCounter>> m_counters;
    std::unique_ptr<TLoopEvents> m_events;  // made before the line opens, gone after it closed
    std::unique_ptr<line::TCard> m_line;
};

} // namespace loop
