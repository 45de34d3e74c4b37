#pragma once

#include "access/Rows.hpp"

#include <optional>
#include <string>
#include <vector>

namespace db {
class TODBC;
class TODBCStatement;
}

// One reader per table the decision uses: one statement each, the row as a
// value. nullopt (or empty) when the row is missing or the statement failed;
// the failure is logged by the binding. On the loop's worker (or the thread
// that owns the connection); never throw.
namespace cardaccess {

// The row under a statement's cursor, as a value (unknown columns as empty,
// 0, false, today at midnight).
TDeviceRow DeviceFromRow(db::TODBCStatement& s);
TCardRow CardFromRow(db::TODBCStatement& s);
TCardTypeRow CardTypeFromRow(db::TODBCStatement& s);
TSettingsRow SettingsFromRow(db::TODBCStatement& s);
TCardPoolRow CardPoolFromRow(db::TODBCStatement& s);
TMessagesRow MessagesFromRow(db::TODBCStatement& s);
TRangeRow RangeFromRow(db::TODBCStatement& s);

std::optional<TDeviceRow> ReadDeviceRow(db::TODBC& database, int loopId, int address);
std::optional<TCardRow> ReadCardRow(db::TODBC& database, double number);
std::optional<TCardTypeRow> ReadCardTypeRow(db::TODBC& database, int typeId);
std::optional<TSettingsRow> ReadSettingsRow(db::TODBC& database);
std::optional<TCardPoolRow> ReadCardPoolRow(db::TODBC& database, int groupId);
std::optional<TMessagesRow> ReadMessagesRow(db::TODBC& database, int id);
// The table number of a holiday on that date; 0 on other days.
int ReadHolidayTable(db::TODBC& database, platform::TDateTime date);
// The ranges of an access level assigned to the device, every day column.
std::vector<TRangeRow> ReadRangeRows(db::TODBC& database, int accessLevel, int deviceId);
// The time limit of the pathway step from one device to another.
std::optional<int> ReadPathwayLimit(db::TODBC& database, int pathway, int fromDevice, int toDevice);
// Whether the pathway leads on from the device.
bool PathwayGoesOn(db::TODBC& database, int pathway, int fromDevice);

} // namespace cardaccess
