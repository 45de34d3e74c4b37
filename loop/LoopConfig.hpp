#pragma once

#include "mail/Mail.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace config {
class TIniFileEx;
}
namespace db {
class TJournal;
class TOfflineCopy;
}

namespace loop {

enum TDeviceTypes : std::uint8_t { dtCardReader = 0, dtTicketSpitter = 1, dtBarcodeExit = 2 };
// "reader", "spitter" or "barcode exit", as operators read them.
const char* DeviceTypeName(int type) noexcept;

// The keys of the settings file's [Settings] section that loops read, with
// the default each takes when absent.
struct TSettingKey {
    const char* Key;
    const char* Default;
};
extern const std::vector<TSettingKey> kLoopSettingKeys;

// What the loops read from the settings file's [Settings] section (and the
// mail's security from the product key).
struct TLoopSettings {
    int SyncMinutes = 0;
    int GraceMinutes = 15;
    std::vector<int> ExtendedGraceLanes{0};
    int ExtendedGraceMinutes = 15;
    int FutureGraceMinutes = 15;
    bool OldTicketFormat = false;
    bool FlatRate = false;
    std::string EmailServer;
    int EmailPort = 25;
    std::string EmailFrom;
    std::string EmailTo;
    mail::TMailSecurity EmailSecurity;
    bool LowSecurity = false;
    bool SyncExitReader = true;
    bool DebitExpiry = false;
    bool AutoReset = true;
};
// Reads them, writing each absent key back with its default.
TLoopSettings ReadLoopSettings(config::TIniFileEx& ini);

// What a loop decides with while the site database is away; they outlive the loop.
struct TOfflineLinks {
    db::TOfflineCopy* Copy = nullptr;
    db::TJournal* Journal = nullptr;
    std::string Computer;
};

// A loop's fixed configuration, built by its set-up and read by its handlers.
struct TLoopConfig {
    int LoopId = 0;
    bool DetailedLog = true;
    TLoopSettings Settings;
    std::vector<std::uint8_t> DeviceTypes;  // by address
    TOfflineLinks Offline;

    // The device type at an address; a card reader where none is known.
    int DeviceType(int address) const noexcept;
};

} // namespace loop
