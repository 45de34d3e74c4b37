#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// What a person looking after the site wants to see at a glance, kept up to
// date by the threads that know it (the main tick, the loops, the poll
// threads) and read as a copy by the status listener, which so never touches
// a database or a loop. Any thread.
class TSiteState {
public:
    struct TDevice {
        int Loop = 0;
        int Address = 0;
        std::string Name;
        std::string Type;
        bool Online = false;
        bool GateHeld = false;
        std::string Printer;
        std::string LastCard;
        std::string LastResult;
        bool DoorAjar = false;
        bool Fire = false;
    };
    struct TLot {
        int Id = 0;
        std::string Name;
        int Count = 0;
        int Capacity = 0;
    };
    struct TDecision {
        std::string Time;
        std::string Device;
        std::string Card;
        std::string Result;
    };
    struct TSnapshot {
        bool Started = false;
        std::string StartProblem;  // while start-up retries
        bool MainDatabase = false;
        std::map<int, bool> LoopDatabase;  // by loop id
        std::map<int, bool> LoopPortLost;
        std::map<std::pair<int, int>, TDevice> Devices;  // by loop and address
        std::vector<TLot> Lots;
        std::deque<TDecision> Decisions;  // newest first
        // Threads whose body keeps failing, by name: the last failure's text and time.
        struct TThreadTrouble {
            std::string What;
            std::chrono::steady_clock::time_point At;
        };
        std::map<std::string, TThreadTrouble> FailingThreads;
        bool OfflineOn = false;
        long long OfflineCopyAgeSeconds = -1;
        long long JournalDepth = 0;
        std::string OfflineCopyProblem;  // why the last refresh failed; empty when it worked
    };
    static constexpr std::size_t kDecisionsKept = 20;

    void SetStarted(bool started, const std::string& problem);
    void SetMainDatabase(bool up);
    void SetLoopDatabase(int loop, bool up);
    void SetPortLost(int loop, bool lost);
    void SetDevice(int loop, int address, const std::string& name, const std::string& type);
    void SetOnline(int loop, int address, bool online);
    void SetDoor(int loop, int address, bool ajar);
    void SetFire(int loop, int address, bool fire);
    void SetGateHeld(int loop, int address, bool held);
    void SetPrinter(int loop, int address, const std::string& text);
    void AddDecision(int loop, int address, const std::string& card, const std::string& result, const std::string& time);
    void SetLots(std::vector<TLot> lots);
    void SetOffline(bool on, long long copyAgeSeconds, long long journalDepth);
    // An empty text: the thread runs (again) as it should.
    void SetThreadFailing(const std::string& thread, const std::string& what);
    void SetOfflineCopyProblem(const std::string& problem);
    // A restart builds the loops afresh.
    void ForgetLoops();
    TSnapshot Snapshot() const;
    // The device's name, for labels; empty when unknown.
    std::string DeviceName(int loop, int address) const;

private:
    // A known device changed under the lock; unknown ones are left alone.
    void WithDevice(int loop, int address, const std::function<void(TDevice&)>& change);
    mutable std::mutex m_mutex;
    TSnapshot m_state;
};

TSiteState& SiteState();

} // namespace platform
