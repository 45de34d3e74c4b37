#include "loop/Loop.hpp"

#include "config/ConnParams.hpp"
#include "config/Format.hpp"
#include "config/IniFileEx.hpp"
#include "config/MessLog.hpp"
#include "mail/MailSender.hpp"
#include "platform/Paths.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>

namespace loop {
namespace {

constexpr const char* kSection = "Settings";

// Column names of a ListColumns text, upper-cased.
std::vector<std::string> ColumnList(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ','))
        out.push_back(config::UpperCase(item));
    return out;
}

} // namespace

const std::vector<TSettingKey> kLoopSettingKeys = {
    {"RespDelay", "0"},
    {"TurnAround", "0"},
    {"PollDelay", "0"},
    {"PayOnFoot Poll", "0"},
    {"Inputs Off", "0"},
    {"Counters Off", "0"},
    {"Sync Readers every XX minutes", "0"},
    {"Grace Time from POF (minutes)", "15"},
    {"Extended Grace Lane", ""},
    {"Grace Time from POF Extended (minutes)", "15"},
    {"Grace Time Future", "15"},
    {"Old Ticket Format?", "0"},
    {"Sync Exit Reader", "1"},
    {"Flat Rate Flag", "0"},
    {"Email Server", ""},
    {"Email Port", "25"},
    {"Email From", ""},
    {"Email To", ""},
    {"Debit Expiry", "0"},
    {"Auto Reset", "1"},
    {"Low Security on DB Error", "0"},
    {"NoRemoteCounts", "0"},
};

const std::vector<TAddedColumns> kColumnsAddedAtStartUp = {
    {"device",
     {"gate_up", "ptr_paper", "ptr_hdwr", "ptr_fail", "ptr_stat", "ptr_paper2", "ptr_hdwr2", "ptr_fail2", "ptr_stat2",
      "device_type", "special_out"}},
    {"tickinv", {"takerid", "online", "tran_id"}},
};

std::string LoopTable(db::TDbKind kind)
{
    return kind == db::dkMySql ? "`loop`" : "loop";
}

TLoop::TLoop(config::TMessLog& log, int loopId, platform::TMainLoop& mainLoop) : MessageLog(log), LoopId(loopId)
{
    const config::TConnParams params;
    DetailedLog = params.DebugLog;
    Database = std::make_unique<db::TODBC>();
    Connection = db::MakeConnection(params, *Database, &MessageLog);
    if (Connection->EnsureConnected()) {
        UpgradeSchema();
        CreateCardInterface(mainLoop);
    }
}

TLoop::~TLoop()
{
    if (Line)
        Line->Close();
    Line.reset();
    Mailer.reset();
    EventLog.reset();
    Counters.clear();
    Inputs.clear();
    DeviceTypes.clear();
    Connection.reset();
    Database.reset();
}

int TLoop::ElapsedMinutes(platform::TDateTime from, platform::TDateTime to)
{
    return platform::MinutesFromTo(from, to);
}

bool TLoop::Connected() noexcept
{
    return Connection && Connection->EnsureConnected();
}

void TLoop::SoftCount(int address)
{
    if (address >= 0 && static_cast<std::size_t>(address) < Counters.size() && Counters[static_cast<std::size_t>(address)])
        Counters[static_cast<std::size_t>(address)]->SoftCount();
}

void TLoop::UpgradeSchema()
{
    const bool report = Database->ReportErrors;
    Database->ReportErrors = false;
    db::TODBCStatement s(*Database);
    const auto device = ColumnList(s.ListColumns("DEVICE"));
    for (const std::string& column : kColumnsAddedAtStartUp.front().Columns)
        if (std::find(device.begin(), device.end(), config::UpperCase(column)) == device.end())
            s.Exec("alter table device add " + column + " integer");
    const auto tickinv = ColumnList(s.ListColumns("tickinv"));
    if (std::find(tickinv.begin(), tickinv.end(), "ONLINE") == tickinv.end()) {
        static constexpr const char* kTickinv[] = {
            "drop TRIGGER AI_INSERT$TICKINV$TICKET",
            "drop generator gen$tickinv$ticket",
            "alter table tickinv drop issuername",
            "alter table tickinv add takerid integer",
            "alter table tickinv add online integer",
            "alter table tickinv add tran_id integer",
            "alter table tickinv alter column takerid position 9",
            "alter table tickinv alter column online position 10",
            "alter table tickinv alter column tran_id position 11",
            "drop INDEX TICKINV$status",
            "CREATE INDEX TICKINV$ticket ON TICKINV (ticket)",
        };
        for (const char* sql : kTickinv)
            s.ExecSQL(sql);
    }
    Database->ReportErrors = report;
}

void TLoop::ReadLineSettings(bool rfModem)
{
    config::TIniFileEx ini(platform::SettingsFilePath());
    if (rfModem) {
        MessageLog.Log("NOTE: Using RF Modem Mode for loop id " + std::to_string(LoopId));
        Line->RespDelay = 200;
        Line->TurnAround = 100;
    } else {
        Line->RespDelay = ini.ReadIntegerInit(kSection, "RespDelay", Line->RespDelay);
        Line->TurnAround = ini.ReadIntegerInit(kSection, "TurnAround", Line->TurnAround);
        Line->PollDelay = ini.ReadIntegerInit(kSection, "PollDelay", Line->PollDelay);
    }
    Line->PayOnFoot = ini.ReadBoolInit(kSection, "PayOnFoot Poll", Line->PayOnFoot);
    Line->NoInputs = ini.ReadBoolInit(kSection, "Inputs Off", Line->NoInputs);
    Line->NoCounters = ini.ReadBoolInit(kSection, "Counters Off", Line->NoCounters);
    SyncMinutes = ini.ReadIntegerInit(kSection, "Sync Readers every XX minutes", 0);
    SyncCount = 0;
    GraceMinutes = ini.ReadIntegerInit(kSection, "Grace Time from POF (minutes)", 15);
    ExtendedGraceLanes.clear();
    std::stringstream lanes(ini.ReadStringInit(kSection, "Extended Grace Lane", ""));
    std::string item;
    while (std::getline(lanes, item, ','))
        ExtendedGraceLanes.push_back(config::TextToInt(item));
    ExtendedGraceMinutes = ini.ReadIntegerInit(kSection, "Grace Time from POF Extended (minutes)", 15);
    FutureGraceMinutes = ini.ReadIntegerInit(kSection, "Grace Time Future", 15);
    OldTicketFormat = ini.ReadBoolInit(kSection, "Old Ticket Format?", false);
    SyncExitReader = ini.ReadBoolInit(kSection, "Sync Exit Reader", true);
    FlatRate = ini.ReadBoolInit(kSection, "Flat Rate Flag", false);
    EmailServer = ini.ReadStringInit(kSection, "Email Server", "");
    EmailPort = ini.ReadIntegerInit(kSection, "Email Port", 25);
    EmailFrom = ini.ReadStringInit(kSection, "Email From", "");
    EmailTo = ini.ReadStringInit(kSection, "Email To", "");
    DebitExpiry = ini.ReadBoolInit(kSection, "Debit Expiry", false);
    AutoReset = ini.ReadBoolInit(kSection, "Auto Reset", true);
    LowSecurity = ini.ReadBoolInit(kSection, "Low Security on DB Error", false);
}

void TLoop::CreateCardInterface(platform::TMainLoop& mainLoop)
{
    try {
        Line = std::make_unique<line::TCard>(mainLoop, &MessageLog);
        auto& e = Line->Events;
        e.OnCounter = [this](int r, const std::string& v) { CounterEvent(r, v); };
        e.OnInput = [this](int r, const std::string& v) { InputEvent(r, v); };
        e.OnError = [this](int r) { OfflineEvent(r); };
        e.OnPowerUp = [this](int r) { PowerUpEvent(r); };
        e.OnData = [this](int r, const std::string& v) { CardDataEvent(r, v); };
        e.OnMemory = [this](int r, const std::string& v) { MemoryDataEvent(r, v); };
        e.OnBarCode = [this](int r, const std::string& v) { BarcodeEvent(r, v); };
        e.OnPrinter = [this](int r, const std::string& v) { PrinterEvent(r, v); };
        EventLog = std::make_unique<counting::TEventLog>(*Database, LoopId);

        const std::string table = LoopTable(Database->Kind());
        db::TODBCStatement loopRow(*Database);
        if (!loopRow.ExecFmt("SELECT * FROM %s WHERE id = %d", table, LoopId)) {
            MessageLog.Log("Failed Card Init - No Loop id: " + std::to_string(LoopId));
        } else if (loopRow.AsBool("enabled")) {
            const int port = loopRow.AsInteger("port");
            const bool rfModem = loopRow.AsBool("rfmodem");
            Line->Port = port;
            MessageLog.LogFmt("Init Devices for LoopId %d Port %d", LoopId, port);
            EventLog->Port = port;
            int first = 99, last = -99;
            db::TODBCStatement devices(*Database);
            if (!devices.ExecFmt("SELECT * FROM device WHERE loop_id=%d", LoopId)) {
                MessageLog.LogFmt("No devices found for loop id %d", LoopId);
                first = last = 0;
            } else {
                do {
                    const int a = devices.AsInteger("addr_ess");
                    // The line keeps texts for addresses 0 to kMaxAddress only.
                    if (a < 0 || a > line::kMaxAddress) {
                        MessageLog.LogFmt("Device id %d of loop id %d has address %d outside 0 to %d, ignored",
                                          devices.AsInteger("id"), LoopId, a, line::kMaxAddress);
                        continue;
                    }
                    db::TODBCStatement msg(*Database);
                    if (msg.ExecFmt("SELECT idle,gateup FROM messages WHERE id=%d", devices.AsInteger("msg_id"))) {
                        Line->SetIdleMsg(a, msg.AsString("idle"));
                        Line->SetActiveMsg(a, msg.AsString("gateup"));
                    } else {
                        Line->SetIdleMsg(a, "Default message");
                        Line->SetActiveMsg(a, "Device activated");
                    }
                    if (DeviceTypes.size() < static_cast<std::size_t>(a) + 1)
                        DeviceTypes.resize(static_cast<std::size_t>(a) + 1, 0);
                    DeviceTypes[static_cast<std::size_t>(a)] =
                        static_cast<std::uint8_t>(devices.AsInteger("device_type") & 0xFF);
                    first = std::min(first, a);
                    last = std::max(last, a);
                } while (devices.Next());
                if (last < 0)
                    first = last = 0;
                else
                    for (int a = 0; a <= last; ++a) {
                        Counters.push_back(a < first ? nullptr
                                                     : std::make_unique<counting::TCounter>(MessageLog, *Database,
                                                                                            LoopId, a, false));
                        Inputs.push_back(a < first ? nullptr
                                                   : std::make_unique<counting::TInput>(LoopId, *Database, *EventLog,
                                                                                        MessageLog, Line.get(), a));
                    }
            }
            Line->SetFirstReader(first);
            Line->SetLastReader(last);
            ReadLineSettings(rfModem);
            if (Line->Open()) {
                MessageLog.LogFmt("TCard - PollDly %d  TurnAround %d  RespDly %d  Baud %d  OffLineDly %d",
                                  Line->PollDelay.load(), Line->TurnAround.load(), Line->RespDelay.load(),
                                  Line->Baud.load(), Line->OffLineDelay.load());
                MessageLog.LogFmt("Device started.  LoopId %d  First address: %d  Last address: %d", LoopId, first,
                                  last);
            } else {
                MessageLog.Log("Failed to open port COM" + std::to_string(port) + " for loop id " +
                               std::to_string(LoopId));
                MessageLog.Log("  " + Line->LastOpenError());
            }
        } else if (config::UpperCase(loopRow.AsString("name")) == "POE/POF") {
            config::TIniFileEx ini(platform::SettingsFilePath());
            if (!ini.ReadBoolInit(kSection, "NoRemoteCounts", false)) {
                int first = 99, last = -99;
                db::TODBCStatement devices(*Database);
                for (bool more = devices.ExecFmt("SELECT * FROM device WHERE loop_id=%d", LoopId); more;
                     more = devices.Next()) {
                    const int a = devices.AsInteger("addr_ess");
                    if (a < 0 || a > line::kMaxAddress)
                        continue;
                    first = std::min(first, a);
                    last = std::max(last, a);
                }
                for (int a = 0; a <= last; ++a) {
                    if (a < first) {
                        Counters.push_back(nullptr);
                        continue;
                    }
                    Counters.push_back(std::make_unique<counting::TCounter>(MessageLog, *Database, LoopId, a, true));
                    MessageLog.Log("Created POE/POF soft counter for address " + std::to_string(a));
                }
            }
        }
        db::TODBCStatement flags(*Database);
        flags.ExecFmt("UPDATE device SET lf_sign_flag = 1 WHERE loop_id = %d and lf_sign <> 0", LoopId);
        flags.ExecFmt("UPDATE device SET lf_output_flag = 1 WHERE loop_id = %d and lf_enabled <> 0", LoopId);
        MessageLog.Log("CreateCardInterface - Done");
    } catch (...) {
        MessageLog.Log("CreateCardInterface - Exception");
    }
}

} // namespace loop
