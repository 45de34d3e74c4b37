// Counter, input, online and output events of a loop.
#include "config/MessLog.hpp"
#include "line/Frame.hpp"
#include "line/Protocol.hpp"
#include "counting/Counter.hpp"
#include "counting/Input.hpp"
#include "db/ODBC.hpp"
#include "line/Card.hpp"
#include "loop/LoopEvents.hpp"
#include "platform/Metrics.hpp"
#include "platform/SiteState.hpp"

namespace loop {
namespace {

std::string SignTextFor(int freePlaces)
{
    return std::string(1, line::protocol::kSignStart) + "1\r" + line::protocol::kSignTextStart +
           std::to_string(freePlaces) + "\\1\\1";
}

} // namespace

counting::TCounter* TLoopEvents::CounterAt(int address) const noexcept
{
    const auto& counters = m_c.Counters;
    return address >= 0 && static_cast<std::size_t>(address) < counters.size()
               ? counters[static_cast<std::size_t>(address)].get()
               : nullptr;
}

bool TLoopEvents::Connected(db::TODBCConn::TCheck check) noexcept
{
    const bool up = m_c.Connection.EnsureConnected(check);
    PublishDatabase(up);
    return up;
}

void TLoopEvents::PublishDatabase(bool up) noexcept
{
    const int loopId = m_c.Config.LoopId;
    platform::SiteState().SetLoopDatabase(loopId, up);
    platform::Metrics().Set("velixcard_database_connected", {{"connection", "loop " + std::to_string(loopId)}},
                            up ? 1 : 0);
}

void TLoopEvents::SoftCount(const db::TTarget& to, int address)
{
    if (counting::TCounter* counter = CounterAt(address))
        counter->SoftCount(to);
}

void TLoopEvents::CounterEvent(int reader, const std::string& value) noexcept
{
    try {
        counting::TCounter* counter = reader > 0 ? CounterAt(reader) : nullptr;
        if (!counter)
            return;
        std::string text = "Database error";
        if (Connected())
            text = counter->Process(Site(), value);
        else
            DecideOffline([&](const db::TTarget& copy) { text = counter->Process(copy, value); });
        if (m_c.Config.DetailedLog) {
            std::string list;
            for (const char c : value) {
                if (!list.empty())
                    list += ",";
                list += std::to_string(static_cast<unsigned char>(c) & 0x0F);
            }
            m_c.Log.Log("Counter event " + text + " input value: " + value + " = " + list);
        }
    } catch (...) {
        m_c.Log.Log(config::WithReason("CounterEvent Exception!"), config::TLevel::Error);
    }
}

void TLoopEvents::InputEvent(int reader, const std::string& value) noexcept
{
    try {
        const auto& inputs = m_c.Inputs;
        if (reader <= 0 || static_cast<std::size_t>(reader) >= inputs.size() ||
            !inputs[static_cast<std::size_t>(reader)] || !Connected())
            return;
        inputs[static_cast<std::size_t>(reader)]->Process(value);
    } catch (...) {
        m_c.Log.Log(config::WithReason("InputEvent Exception, reader: " + std::to_string(reader) + " !"),
                    config::TLevel::Error);
    }
}

void TLoopEvents::OfflineEvent(int reader) noexcept
{
    try {
        if (!Connected())
            return;
        m_c.Log.Log("Offline, Device: " + DeviceRow(m_c.Database, reader).Name, config::TLevel::Warning);
        db::TODBCStatement s(m_c.Database);
        s.ExecFmt("UPDATE device SET online_flag = 0 WHERE loop_id = %d and addr_ess = %d", m_c.Config.LoopId, reader);
    } catch (...) {
        m_c.Log.Log(config::WithReason("OfflineEvent Exception!"), config::TLevel::Error);
    }
}

void TLoopEvents::PowerUpEvent(int reader) noexcept
{
    try {
        if (!Connected())
            return;
        m_c.Log.Log("PowerUp Event, Device: " + DeviceRow(m_c.Database, reader).Name);
        db::TODBCStatement s(m_c.Database);
        s.ExecFmt("UPDATE device SET online_flag = 1 WHERE loop_id = %d and addr_ess = %d", m_c.Config.LoopId, reader);
    } catch (...) {
        m_c.Log.Log(config::WithReason("PowerUpEvent Exception!"), config::TLevel::Error);
    }
}

void TLoopEvents::UpdateOutputs() noexcept
{
    try {
        if (!Connected())
            return;
        db::TODBCStatement pass(m_c.Database);
        for (const auto& c : m_c.Counters)
            if (c && c->Remote())
                c->CheckSoftCount(pass);
        // The flagged devices with their lot's count, in one query a tick.
        db::TODBCStatement devices(m_c.Database);
        for (bool more = devices.ExecFmt("SELECT device.*, lot.id AS lot_row, lot.lot_count, lot.max_capacity FROM "
                                         "device LEFT JOIN lot ON lot.id = device.lot_id WHERE device.loop_id = %d and "
                                         "(device.lf_sign_flag <> 0 or device.lf_output_flag <> 0)",
                                         m_c.Config.LoopId);
             more; more = devices.Next()) {
            const int id = devices.AsInteger("id");
            const int address = devices.AsInteger("addr_ess");
            const std::string name = devices.AsString("name");
            db::TODBCStatement update(m_c.Database);
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
                if (!m_c.Line || m_c.Line->LotFullOutput(address, full, mask) || !m_c.Line->IsOpen()) {
                    update.ExecFmt("UPDATE device SET lf_output_flag = 0 WHERE id = %d", id);
                    if (m_c.Config.DetailedLog)
                        m_c.Log.Log("Lot full output is now " + std::string(full ? " On" : " Off") + " for " + name);
                }
            }
            if (devices.AsBool("lf_sign_flag")) {
                const int freePlaces = std::max(capacity - count, 0);
                if (!m_c.Line || m_c.Line->SignText(address, SignTextFor(freePlaces)) || !m_c.Line->IsOpen()) {
                    update.ExecFmt("UPDATE device SET lf_sign_flag = 0 WHERE id = %d", id);
                    if (m_c.Config.DetailedLog)
                        m_c.Log.Log("Lot full sign is being updated to " + std::to_string(freePlaces) + " for " +
                                       name);
                }
            }
        }
    } catch (...) {
        m_c.Log.Log(config::WithReason("EXCEPTION: UpdateOutputs "), config::TLevel::Error);
    }
}

void TLoopEvents::SyncTimeDate() noexcept
{
    try {
        const TLoopSettings& settings = m_c.Config.Settings;
        if (settings.SyncMinutes <= 0)
            return;
        if (++m_syncCount < settings.SyncMinutes)
            return;
        bool any = false;
        if (m_c.Line) {
            const std::string stamp = line::DateTimeStamp();
            for (int a = m_c.Line->FirstReader(); a <= m_c.Line->LastReader(); ++a) {
                const int type = m_c.Config.DeviceType(a);
                if (type == dtTicketSpitter || (type == dtBarcodeExit && settings.SyncExitReader)) {
                    if (!any)
                        m_c.Log.Log("Automated Sync Of Time/Date to Spitters & Exit Readers");
                    any = true;
                    m_c.Line->SetDateTime(a, stamp);
                }
            }
        }
        if (any)
            m_c.Log.Log("  Done T/D Sync");
        m_syncCount = 0;
    } catch (...) {
        m_c.Log.Log(config::WithReason("EXCEPTION: SyncTimeDate"), config::TLevel::Error);
    }
}

} // namespace loop
