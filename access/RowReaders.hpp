#pragma once

#include "access/Rows.hpp"

#include <optional>
#include <string>
#include <vector>

namespace db {
class TODBC;
}

// One reader per table the decision uses: one statement each, the row as a
// value. nullopt (or empty) when the row is missing or the statement failed;
// the failure is logged by the binding. Main thread; never throw.
namespace cardaccess {

std::optional<TDeviceRow> ReadDeviceRow(db::TODBC& database, int loopId, int address);
std::optional<TCardRow> ReadCardRow(db::TODBC& database, double number);
std::optional<TCardTypeRow> ReadCardTypeRow(db::TODBC& database, int typeId);
std::optional<TSettingsRow> ReadSettingsRow(db::TODBC& database);
std::optional<TCardPoolRow> ReadCardPoolRow(db::TODBC& database, int groupId);
std::optional<TMessagesRow> ReadMessagesRow(db::TODBC& database, int id);
// The table number of a holiday on that date; 0 on other days.
int ReadHolidayTable(db::TODBC& database, platform::TDateTime date);
// The ranges of an access level open on that day column (day_1 .. day_9) and
// assigned to the device, in one statement.
std::vector<TTimeRange> ReadTimeRanges(db::TODBC& database, int accessLevel, int dayColumn, int deviceId);
// The time limit of the pathway step from one device to another.
std::optional<int> ReadPathwayLimit(db::TODBC& database, int pathway, int fromDevice, int toDevice);
// Whether the pathway leads on from the device.
bool PathwayGoesOn(db::TODBC& database, int pathway, int fromDevice);

// The rows one card decision reads. On the MySQL family every row comes in one
// joined query when the source is made: a site whose database is a few
// milliseconds away pays every round trip on every card. Elsewhere each row is
// read by its own statement when a check first asks for it. Asked for a key
// other than the one the join followed, a row is read on its own.
class TDecisionRows {
public:
    TDecisionRows(db::TODBC& database, int loopId, int address, double number, platform::TDateTime t);

    const std::optional<TDeviceRow>& Device() const noexcept { return m_device; }
    const std::optional<TSettingsRow>& Settings() const noexcept { return m_settings; }
    const std::optional<TCardRow>& Card() const noexcept { return m_card; }
    std::optional<TCardTypeRow> CardType(int typeId);
    std::optional<TCardPoolRow> Pool(int groupId);
    int HolidayTable();
    std::vector<TTimeRange> TimeRanges(int accessLevel, int dayColumn, int deviceId);
    std::optional<int> PathwayLimit(int pathway, int fromDevice, int toDevice);
    bool PathwayGoesOn(int pathway, int fromDevice);
    std::optional<TMessagesRow> Messages(int id);

private:
    // A range as the join brings it: every day column, filtered when asked.
    struct TJoinedRange {
        int AccessLevel = 0;
        int DeviceId = 0;
        std::array<bool, 9> Days{};
        TTimeRange Range;
    };
    void LockChangedRows();
    bool ReadJoined(int loopId, int address);
    int JoinedDeviceId() const noexcept { return m_device ? m_device->Id : 0; }
    bool JoinedCardType(int typeId) const noexcept { return m_joined && m_card && typeId == m_card->TypeId; }

    db::TODBC& m_database;
    double m_number;
    platform::TDateTime m_t;
    bool m_joined = false;
    std::optional<TDeviceRow> m_device;
    std::optional<TSettingsRow> m_settings;
    std::optional<TCardRow> m_card;
    std::optional<TCardTypeRow> m_cardType;
    std::optional<TCardPoolRow> m_pool;
    int m_holidayTable = 0;
    std::optional<int> m_pathwayLimit;
    bool m_pathwayGoesOn = false;
    int m_messageId = 0;
    std::optional<TMessagesRow> m_message, m_firstMessage;
    std::vector<TJoinedRange> m_ranges;
};

} // namespace cardaccess
