#include "platform/SiteState.hpp"

namespace platform {

void TSiteState::WithDevice(int loop, int address, const std::function<void(TDevice&)>& change)
{
    const std::lock_guard lock(m_mutex);
    const auto d = m_state.Devices.find({loop, address});
    if (d != m_state.Devices.end())
        change(d->second);
}

void TSiteState::SetThreadFailing(const std::string& thread, const std::string& what)
{
    const std::lock_guard lock(m_mutex);
    if (what.empty())
        m_state.FailingThreads.erase(thread);
    else
        m_state.FailingThreads[thread] = {what, std::chrono::steady_clock::now()};
}

void TSiteState::SetStarted(bool started, const std::string& problem)
{
    const std::lock_guard lock(m_mutex);
    m_state.Started = started;
    m_state.StartProblem = started ? std::string() : problem;
}

void TSiteState::SetMainDatabase(bool up)
{
    const std::lock_guard lock(m_mutex);
    m_state.MainDatabase = up;
}

void TSiteState::SetLoopDatabase(int loop, bool up)
{
    const std::lock_guard lock(m_mutex);
    m_state.LoopDatabase[loop] = up;
}

void TSiteState::SetPortLost(int loop, bool lost)
{
    const std::lock_guard lock(m_mutex);
    m_state.LoopPortLost[loop] = lost;
}

void TSiteState::SetDevice(int loop, int address, const std::string& name, const std::string& type)
{
    const std::lock_guard lock(m_mutex);
    TDevice& d = m_state.Devices[{loop, address}];
    d.Loop = loop;
    d.Address = address;
    d.Name = name;
    d.Type = type;
}

void TSiteState::SetOnline(int loop, int address, bool online)
{
    WithDevice(loop, address, [&](TDevice& d) { d.Online = online; });
}

void TSiteState::SetDoor(int loop, int address, bool ajar)
{
    WithDevice(loop, address, [&](TDevice& d) { d.DoorAjar = ajar; });
}

void TSiteState::SetFire(int loop, int address, bool fire)
{
    WithDevice(loop, address, [&](TDevice& d) { d.Fire = fire; });
}

void TSiteState::SetGateHeld(int loop, int address, bool held)
{
    WithDevice(loop, address, [&](TDevice& d) { d.GateHeld = held; });
}

void TSiteState::SetPrinter(int loop, int address, const std::string& text)
{
    WithDevice(loop, address, [&](TDevice& d) { d.Printer = text; });
}

void TSiteState::AddDecision(int loop, int address, const std::string& card, const std::string& result,
                             const std::string& time)
{
    const std::lock_guard lock(m_mutex);
    std::string device = "loop " + std::to_string(loop) + " address " + std::to_string(address);
    const auto d = m_state.Devices.find({loop, address});
    if (d != m_state.Devices.end()) {
        d->second.LastCard = card;
        d->second.LastResult = result;
        if (!d->second.Name.empty())
            device = d->second.Name;
    }
    m_state.Decisions.push_front({time, device, card, result});
    if (m_state.Decisions.size() > kDecisionsKept)
        m_state.Decisions.pop_back();
}

void TSiteState::SetLots(std::vector<TLot> lots)
{
    const std::lock_guard lock(m_mutex);
    m_state.Lots = std::move(lots);
}

void TSiteState::SetOffline(bool on, long long copyAgeSeconds, long long journalDepth)
{
    const std::lock_guard lock(m_mutex);
    m_state.OfflineOn = on;
    m_state.OfflineCopyAgeSeconds = copyAgeSeconds;
    m_state.JournalDepth = journalDepth;
}

void TSiteState::SetOfflineCopyProblem(const std::string& problem)
{
    const std::lock_guard lock(m_mutex);
    m_state.OfflineCopyProblem = problem;
}

void TSiteState::ForgetLoops()
{
    const std::lock_guard lock(m_mutex);
    m_state.LoopDatabase.clear();
    m_state.LoopPortLost.clear();
    m_state.Devices.clear();
}

std::string TSiteState::DeviceName(int loop, int address) const
{
    const std::lock_guard lock(m_mutex);
    const auto d = m_state.Devices.find({loop, address});
    return d == m_state.Devices.end() ? std::string() : d->second.Name;
}

TSiteState::TSnapshot TSiteState::Snapshot() const
{
    const std::lock_guard lock(m_mutex);
    return m_state;
}

TSiteState& SiteState()
{
    static TSiteState state;
    return state;
}

} // namespace platform
