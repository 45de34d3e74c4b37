#include "counting/Counter.hpp"

#include "access/RowReaders.hpp"
#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "db/Target.hpp"

namespace counting {
namespace {

// The counter_item input that a card accepted in software counts on.
constexpr int kSoftCountInput = 7;

} // namespace

TCounter::TCounter(config::TMessLog& log, db::TODBC& database, int loopId, int address, bool remote)
    : m_log(log), m_remote(remote)
{
    const auto device = cardaccess::ReadDeviceRow(database, loopId, address).value_or(cardaccess::TDeviceRow{});
    m_deviceId = device.Id;
    m_lastSoftCount = device.CountSoft;
}

std::optional<TCounterDigits> CounterDigits(std::string_view payload)
{
    if (payload.size() < kCounterDigits)
        return std::nullopt;
    TCounterDigits digits{};
    for (std::size_t i = 0; i < kCounterDigits; ++i)
        digits[i] = static_cast<unsigned char>(payload[i]) & 0x0F;
    return digits;
}

int CounterDelta(int last, int now)
{
    constexpr int kCounterModulus = 16;
    return now >= last ? now - last : now - last + kCounterModulus;
}

std::string TCounter::Process(const db::TTarget& to, const std::string& payload)
{
    std::string name = "Invalid";
    const auto digits = CounterDigits(payload);
    if (!digits) {
        m_log.Log("TCounter.Process ERROR!  CounterData Length Invalid! - " + payload, config::TLevel::Error);
        return name;
    }
    db::TODBCStatement device(to.Database);
    if (device.ExecFmt("SELECT * FROM device WHERE id = %d", m_deviceId))
        name = device.AsString("name");
    if (m_firstReading) {
        m_lastCounts = *digits;
        m_firstReading = false;
        return name;
    }
    db::TODBCStatement lot(to.Database);
    const bool lotFound = lot.ExecFmt("SELECT * FROM lot WHERE id = %d", device.AsInteger("LOT_ID"));
    for (std::size_t i = 0; i < kCounterDigits; ++i) {
        const int diff = CounterDelta(m_lastCounts[i], (*digits)[i]);
        const int position = static_cast<int>(i) + 1;
        if (diff != 0) {
            const std::string column = "count" + std::to_string(position);
            db::TODBCStatement update(to.Database);
            if (to.Journalled)
                update.ExecFmt("UPDATE device SET %s = %s + %d WHERE id = %d", column, column, diff, m_deviceId);
            else
                update.ExecFmt("UPDATE device SET %s = %d WHERE id = %d", column, device.AsInteger(column) + diff,
                               m_deviceId);
            if (lotFound)
                ChangeLot(to, diff, position + 1, device.AsInteger("lot_id"));
        }
        m_lastCounts[i] = (*digits)[i];
    }
    return name;
}

void TCounter::ChangeLot(const db::TTarget& to, int delta, int input, int deviceLot)
{
    db::TODBCStatement items(to.Database);
    for (bool more = items.ExecFmt("SELECT c.*,k.lot_id FROM counter_item c left join counters k on "
                                   "c.cntr_id=k.id WHERE device_id=%d and input=%d",
                                   m_deviceId, input);
         more; more = items.Next()) {
        const int lot = items.AsInteger("lot_id");
        std::string text;
        switch (items.AsInteger("chg_lot")) {
        case 1:
            text = config::Format("UPDATE lot SET lot_count=lot_count+%d WHERE id=%d", delta, lot);
            break;
        case 2: {
            if (to.Journalled) {
                // Floored where the replay lands, not where the copy stood.
                text = config::Format("UPDATE lot SET lot_count = CASE WHEN lot_count < %d THEN 0 ELSE lot_count - %d "
                                      "END WHERE id = %d",
                                      delta, delta, lot);
                break;
            }
            db::TODBCStatement count(to.Database);
            count.ExecFmt("select lot_count from lot WHERE id=%d", lot);
            text = count.AsInteger("lot_count") - delta < 0
                       ? config::Format("UPDATE lot SET lot_count=0 WHERE id=%d", lot)
                       : config::Format("UPDATE lot SET lot_count=lot_count-%d WHERE id=%d", delta, lot);
            break;
        }
        default:
            break;
        }
        m_log.Log("Counter sql: " + text);
        if (!text.empty()) {
            db::TODBCStatement change(to.Database);
            change.Exec(text);
            FlagLotFull(to.Database, deviceLot);
        }
    }
}

void TCounter::FlagLotFull(db::TODBC& database, int lotId)
{
    db::TODBCStatement s(database);
    s.ExecFmt("UPDATE device SET lf_output_flag = 1 WHERE lot_id = %d and lf_enabled <> 0", lotId);
    s.ExecFmt("UPDATE device SET lf_sign_flag = 1 WHERE lot_id = %d and lf_sign <> 0", lotId);
}

void TCounter::SoftCount(const db::TTarget& to)
{
    // The device and whether its lot is on file in one round trip: the loop's
    // next card waits for this one's count.
    db::TODBCStatement device(to.Database);
    device.ExecFmt("SELECT device.*, lot.id AS lot_on_file FROM device LEFT JOIN lot ON lot.id = device.lot_id "
                   "WHERE device.id = %d",
                   m_deviceId);
    m_lastSoftCount = device.AsInteger("count_soft") + 1;
    if (!device.Eof() && !device.Failed() && !device.IsNull("lot_on_file"))
        ChangeLot(to, 1, kSoftCountInput, device.AsInteger("lot_id"));
    db::TODBCStatement update(to.Database);
    update.ExecFmt("UPDATE device SET count_soft = count_soft + 1 WHERE id = %d", m_deviceId);
}

void TCounter::CheckSoftCount(db::TODBCStatement& statement)
{
    statement.ExecFmt("select * from device WHERE id = %d", m_deviceId);
    const int current = statement.AsInteger("count_soft");
    if (current > m_lastSoftCount) {
        const int diff = current - m_lastSoftCount;
        const db::TTarget site{statement.Database()};
        db::TODBCStatement lot(site.Database);
        if (lot.ExecFmt("SELECT * FROM lot WHERE id = %d", statement.AsInteger("LOT_ID"))) {
            m_log.Log("Timer Lot Change Value: " + std::to_string(diff));
            ChangeLot(site, diff, kSoftCountInput, statement.AsInteger("lot_id"));
        }
        m_log.Log("Soft Count Device Id: " + std::to_string(m_deviceId) + " was " + std::to_string(m_lastSoftCount) +
                  " is " + std::to_string(current) + " diff " + std::to_string(diff));
    }
    m_lastSoftCount = current;
}

} // namespace counting
