#pragma once

#include "access/Rows.hpp"

#include <optional>
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

} // namespace cardaccess
