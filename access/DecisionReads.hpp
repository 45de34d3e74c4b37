#pragma once

#include "access/Rows.hpp"

#include <map>
#include <optional>
#include <vector>

namespace db {
class TODBC;
}

namespace cardaccess {

// Where a card decision gets its rows: one statement per row, each read when
// the decision needs it. Main thread; never throws.
class TLiveReads {
public:
    TLiveReads(db::TODBC& database, int loopId, int address, double number, platform::TDateTime t)
        : m_database(database), m_loopId(loopId), m_address(address), m_number(number), m_t(t)
    {
    }
    virtual ~TLiveReads() = default;

    virtual std::optional<TDeviceRow> Device();
    virtual std::optional<TSettingsRow> Settings();
    virtual std::optional<TCardRow> Card();
    virtual std::optional<TCardTypeRow> CardType(int typeId);
    virtual int HolidayTable();
    virtual std::vector<TTimeRange> TimeRanges(int accessLevel, int dayColumn, int deviceId);
    virtual std::optional<TCardPoolRow> CardPool(int groupId);
    virtual std::optional<int> PathwayLimit(int pathway, int fromDevice, int toDevice);
    virtual bool PathwayGoesOn(int pathway, int fromDevice);
    virtual std::optional<TMessagesRow> Messages(int id);

protected:
    db::TODBC& m_database;
    int m_loopId, m_address;
    double m_number;
    platform::TDateTime m_t;
};

// Every row the decision may need, read together with the start of its
// transaction in one round trip: subqueries stand in for the keys (card
// type, access level, device id, group, pathway) that the live reads learn on
// the way. A question for other keys than those is answered live.
class TBatchReads : public TLiveReads {
public:
    TBatchReads(db::TODBC& database, int loopId, int address, double number, platform::TDateTime t);
    // False when the batch failed; the caller rolls back and reads live.
    bool Ok() const noexcept { return m_ok; }

    std::optional<TDeviceRow> Device() override { return m_device; }
    std::optional<TSettingsRow> Settings() override { return m_settings; }
    std::optional<TCardRow> Card() override { return m_card; }
    std::optional<TCardTypeRow> CardType(int typeId) override;
    int HolidayTable() override { return m_holidayTable; }
    std::vector<TTimeRange> TimeRanges(int accessLevel, int dayColumn, int deviceId) override;
    std::optional<TCardPoolRow> CardPool(int groupId) override;
    std::optional<int> PathwayLimit(int pathway, int fromDevice, int toDevice) override;
    bool PathwayGoesOn(int pathway, int fromDevice) override;
    std::optional<TMessagesRow> Messages(int id) override;

private:
    struct TRangeDays {
        TTimeRange Range;
        std::array<bool, 9> Days{};  // day_1 .. day_9
    };
    int TypeKey() const noexcept { return m_card ? m_card->TypeId : 0; }
    int DeviceKey() const noexcept { return m_device ? m_device->Id : 0; }

    bool m_ok = false;
    std::optional<TDeviceRow> m_device;
    std::optional<TSettingsRow> m_settings;
    std::optional<TCardRow> m_card;
    std::optional<TCardTypeRow> m_cardType;
    int m_holidayTable = 0;
    std::vector<TRangeDays> m_ranges;
    std::optional<TCardPoolRow> m_pool;
    std::optional<int> m_pathwayLimit;
    bool m_pathwayGoesOn = false;
    std::map<int, TMessagesRow> m_messages;
};

} // namespace cardaccess
