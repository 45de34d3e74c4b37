#pragma once

#include <string_view>

namespace db {
class TODBC;
}

namespace counting {

enum TAlarmKind : int { ekDoorAjar = 2, ekAjarAcknowledged = 3, ekFire = 4, ekPrinter = 9 };

// The alarm-event sink of a loop: door ajar (2), acknowledged (3), fire (4),
// printer status (9). Nothing is stored or sent; it keeps the port for callers.
class TEventLog {
public:
    TEventLog(db::TODBC& database, int loopId) : m_database(database), m_loopId(loopId) {}
    void Write(std::string_view text, int kind, int value) noexcept;
    int Port = -1;

private:
    db::TODBC& m_database;
    int m_loopId;
};

} // namespace counting
