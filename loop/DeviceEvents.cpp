// Counter, input, online and output events of a loop.
#include "config/MessLog.hpp"
#include "line/Frame.hpp"
#include "line/Protocol.hpp"
#include "loop/Loop.hpp"
#include "platform/SiteState.hpp"

namespace loop {
namespace {

std::string SignTextFor(int freePlaces)
{
    return std::string(1, line::protocol::kSignStart) + "1\r" + line::protocol::kSignTextStart +
           std::to_string(freePlaces) + "\\1\\1";
}

} // namespace

void TLoop::CounterEvent(int reader, const std::string& value) noexcept
{
    try {
        if (reader <= 0 || static_cast<std::size_t>(reader) >= m_counters.size() ||
            !m_counters[static_cast<std::size_t>(reader)])
            return;
        counting::TCounter& counter = *m_counters[static_cast<std::size_t>(reader)];
        std::string text = "Database error";
        if (Connected())
            text = counter.Process(value);
        else
            DecideOffline([&] { text = counter.ProcessOn(*m_database, value); });  // the copy, journalled
        if (DetailedLog) {
            std::string list;
            for (const char c : value) {
                if (!list.empty())
                    list += ",";
                list += std::to_string(static_cast<unsigned char>(c) & 0x0F);
            }
            MessageLog.Log("Counter event " + text + " input value: " + value + " = " + list);
        }
    } catch (...) {
        MessageLog.Log(config::WithReason("CounterEvent Exception!"), config::TLevel::Error);
    }
}

void TLoop::InputEvent(int reader, const std::string& value) noexcept
{
    try {
        if (reader <= 0 || static_cast<std::size_t>(reader) >= m_inputs.size() ||
            !m_inputs[static_cast<std::size_t>(reader)] || !Connected())
            return;
        m_inputs[static_cast<std::size_t>(reader)]->Process(value);
    } catch (...) {
        MessageLog.Log(config::WithReason("InputEvent Exception, reader: " + std::to_string(reader) + " !"),
                       config::TLevel::Error);
    }
}

void TLoop::OfflineEvent(int reader) noexcept
{
    try {
        if (!Connected())
            return;
        MessageLog.Log("Offline, Device: " + DeviceRow(reader).Name, config::TLevel::Warning);
        db::TODBCStatement s(*m_database);
        s.ExecFmt("UPDATE device SET online_flag = 0 WHERE loop_id = %d and addr_ess = %d", LoopId, reader);
    } catch (...) {
        MessageLog.Log(config::WithReason("OfflineEvent Exception!"), config::TLevel::Error);
    }
}

void TLoop::PowerUpEvent(int reader) noexcept
{
    try {
        if (!Connected())
            return;
        MessageLog.Log("PowerUp Event, Device: " + DeviceRow(reader).Name);
        db::TODBCStatement s(*m_database);
        s.ExecFmt("UPDATE device SET online_flag = 1 WHERE loop_id = %d and addr_ess = %d", LoopId, reader);
    } catch (...) {
        MessageLog.Log(config::WithReason("PowerUpEvent Exception!"), config::TLevel::Error);
    }
}

void TLoop::UpdateOutputs() noexcept
{
    try {
        if (!Connected())
            return;
        db::TODBCStatement pass(*m_database);
        for (const auto& c : m_counters)
            if (c && c->Remote())
                c->CheckSoftCount(pass);
        // The flagged devices with their lot's count, in one query a tick.
        db::TODBCStatement devices(*m_database);
        for (bool more = devices.ExecFmt("SELECT device.*, lot.id AS lot_row, lot.lot_count, lot.max_capacity FROM "
                                         "device LEFT JOIN lot ON lot.id = device.lot_id WHERE device.loop_id = %d and "
                                         "(device.lf_sign_flag <> 0 or device.lf_output_flag <> 0)",
                                         LoopId);
             more; more = devices.Next()) {
            const int id = devices.AsInteger("id");
            const int address = devices.AsInteger("addr_ess");
            const std::string name = devices.AsString("name");
            db::TODBCStatement update(*m_database);
            if (devices.AsString("lot_row").empty()) {
                update.ExecFmt("UPDATE device SET lf_output_flag = 0, lf_sign_flag = 0 WHERE id = %d", id);
                continue;
            }
            const int count = devices.AsInteger("lot_count");
            const int capacity = devices.AsInteger("max_capacity");
            // A refused command leaves its flag set, so the next pass tries again.
            if (devices.AsBool("lf_output_flag")) {
                const bool full = count >= capacity;
                const int shift = devices.AsInteger("lf_output") - 2;
                const int mask = (shift >= 0 && shift < 16) ? static_cast<std::uint16_t>(1u << shift) : 0;
                if (!m_line || m_line->LotFullOutput(address, full, mask) || !m_line->IsOpen()) {
                    update.ExecFmt("UPDATE device SET lf_output_flag = 0 WHERE id = %d", id);
                    if (DetailedLog)
                        MessageLog.Log("Lot full output is now " + std::string(full ? " On" : " Off") + " for " + name);
                }
            }
            if (devices.AsBool("lf_sign_flag")) {
                const int freePlaces = std::max(capacity - count, 0);
                if (!m_line || m_line->SignText(address, SignTextFor(freePlaces)) || !m_line->IsOpen()) {
                    update.ExecFmt("UPDATE device SET lf_sign_flag = 0 WHERE id = %d", id);
                    if (DetailedLog)
                        MessageLog.Log("Lot full sign is being updated to " + std::to_string(freePlaces) + " for " +
                                       name);
                }
            }
        }
    } catch (...) {
        MessageLog.Log(config::WithReason("EXCEPTION: UpdateOutputs "), config::TLevel::Error);
    }
}

void TLoop::SyncTimeDate() noexcept
{
    try {
        if (Settings.SyncMinutes <= 0)
            return;
        if (++SyncCount < Settings.SyncMinutes)
            return;
        bool any = false;
        if (m_line) {
            const std::string stamp = line::DateTimeStamp();
            for (int a = m_line->FirstReader(); a <= m_line->LastReader(); ++a) {
                const int type = DeviceType(a);
                if (type == dtTicketSpitter || (type == dtBarcodeExit && Settings.SyncExitReader)) {
                    if (!any)
                        MessageLog.Log("Automated Sync Of Time/Date to Spitters & Exit Readers");
                    any = true;
                    m_line->SetDateTime(a, stamp);
                }
            }
        }
        if (any)
            MessageLog.Log("  Done T/D Sync");
        SyncCount = 0;
    } catch (...) {
        MessageLog.Log(config::WithReason("EXCEPTION: SyncTimeDate"), config::TLevel::Error);
    }
}

bool TLoop::ForceGate(int address, bool open) noexcept
{
    if (!m_line)
        return false;
    const bool state = m_line->GateState(address);
    if (state == open)
        return false;
    if (!m_line->SetGate(address, open))
        return false;  // refused: the state stays as it was and the next pass tries again
    platform::SiteState().SetGateHeld(LoopId, address, open);
    if (DetailedLog)
        MessageLog.Log("Loop id " + std::to_string(LoopId) + " address " + std::to_string(address) +
                       (open ? " forced open" : " forced closed"));
    return true;
}

} // namespace loop
