#include "loop/Loop.hpp"

#include "config/ConnParams.hpp"
#include "config/Format.hpp"
#include "config/IniFileEx.hpp"
#include "config/MessLog.hpp"
#include "counting/Counter.hpp"
#include "counting/EventLog.hpp"
#include "counting/Input.hpp"
#include "db/ODBC.hpp"
#include "db/ODBCConn.hpp"
#include "db/SiteColumns.hpp"
#include "line/Card.hpp"
#include "mail/MailSender.hpp"
#include "platform/MainLoop.hpp"
#include "platform/Metrics.hpp"
#include "platform/Paths.hpp"
#include "platform/SiteState.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <exception>
#include <mutex>
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

std::string LoopTable(const db::TODBC& database)
{
    return db::TableName(database.Dialect(), "loop");
}

const char* DeviceTypeName(int type) noexcept
{
    switch (type) {
    case dtTicketSpitter: return "spitter";
    case dtBarcodeExit: return "barcode exit";
    default: return "reader";
    }
}

int TLoopConfig::DeviceType(int address) const noexcept
{
    return address >= 0 && static_cast<std::size_t>(address) < DeviceTypes.size()
               ? static_cast<int>(DeviceTypes[static_cast<std::size_t>(address)])
               : static_cast<int>(dtCardReader);
}

TLoopSettings ReadLoopSettings(config::TIniFileEx& ini)
{
    TLoopSettings s;
    s.SyncMinutes = ini.ReadIntegerInit(kSection, "Sync Readers every XX minutes", 0);
    s.GraceMinutes = ini.ReadIntegerInit(kSection, "Grace Time from POF (minutes)", 15);
    s.ExtendedGraceLanes.clear();
    std::stringstream lanes(ini.ReadStringInit(kSection, "Extended Grace Lane", ""));
    for (std::string item; std::getline(lanes, item, ',');)
        s.ExtendedGraceLanes.push_back(config::TextToInt(item));
    s.ExtendedGraceMinutes = ini.ReadIntegerInit(kSection, "Grace Time from POF Extended (minutes)", 15);
    s.FutureGraceMinutes = ini.ReadIntegerInit(kSection, "Grace Time Future", 15);
    s.OldTicketFormat = ini.ReadBoolInit(kSection, "Old Ticket Format?", false);
    s.SyncExitReader = ini.ReadBoolInit(kSection, "Sync Exit Reader", true);
    s.FlatRate = ini.ReadBoolInit(kSection, "Flat Rate Flag", false);
    s.EmailServer = ini.ReadStringInit(kSection, "Email Server", "");
    s.EmailPort = ini.ReadIntegerInit(kSection, "Email Port", 25);
    s.EmailFrom = ini.ReadStringInit(kSection, "Email From", "");
    s.EmailTo = ini.ReadStringInit(kSection, "Email To", "");
    s.EmailSecurity = mail::ReadMailSecurity();
    s.DebitExpiry = ini.ReadBoolInit(kSection, "Debit Expiry", false);
    s.AutoReset = ini.ReadBoolInit(kSection, "Auto Reset", true);
    s.LowSecurity = ini.ReadBoolInit(kSection, "Low Security on DB Error", false);
    return s;
}

namespace {

// Loops on a server database run side by side, each on a worker of its own.
// An SQLite file takes one writer at a time, and two connections that both
// hold a read lock and want to write fail at once rather than wait: the loops
// on SQLite share one worker, so the file sees one decision at a time.
std::shared_ptr<platform::TWorker> WorkerFor(bool sqlite, int loopId, config::TMessLog& log)
{
    if (!sqlite)
        return std::make_shared<platform::TWorker>("loop " + std::to_string(loopId) + " worker",
                                                   config::ThreadFailureLogger(log));
    static std::mutex lock;
    static std::weak_ptr<platform::TWorker> shared;
    std::scoped_lock guard(lock);
    auto worker = shared.lock();
    if (!worker) {
        worker = std::make_shared<platform::TWorker>("SQLite loops' worker", config::ThreadFailureLogger(log));
        shared = worker;
    }
    return worker;
}

} // namespace

TLoop::TLoop(config::TMessLog& log, int loopId, TLoopOptions options) : m_log(log)
{
    const config::TConnParams params;
    m_config.LoopId = loopId;
    m_config.DetailedLog = params.DebugLog;
    m_config.Offline = std::move(options.Offline);
    if (options.Settings)
        m_config.Settings = *options.Settings;
    m_database = std::make_unique<db::TODBC>();
    m_connection = db::MakeConnection(params, *m_database, &m_log, std::to_string(loopId));
    const bool connected = m_connection->EnsureConnected();
    for (int code = cardaccess::arAccepted; code <= cardaccess::arNotInPath; ++code)
        platform::Metrics().Touch("velixcard_decisions_total", {{"result", cardaccess::AccessResultText(code)}});
    m_worker = WorkerFor(connected && m_database->Kind() == db::dkSQLite, loopId, m_log);
    if (connected) {
        UpgradeSchema();
        CreateCardInterface(TSetUpFrom::Site, options.Settings);
    } else if (!options.OfflineCopy.empty() &&
               db::ConnectLocalFile(*m_database, options.OfflineCopy, db::TLocalFile::Copy)) {
        // The site database away at start-up: the devices and settings come
        // from the offline copy, on the loop's own binding, which then lets go
        // of the copy and connects to the site when it answers; the events
        // meanwhile are decided offline.
        m_log.LogFmt("Loop id %d set up from the offline copy: the site database is away", loopId);
        CreateCardInterface(TSetUpFrom::Copy, options.Settings);
    }
    if (!m_events)
        m_events = std::make_unique<TLoopEvents>(TLoopContext{m_config, m_log, *m_database, *m_connection, nullptr,
                                                              m_eventLog.get(), m_counters, m_inputs});
    m_events->PublishDatabase(connected);
}

bool TLoop::ForceGate(int address, bool open) noexcept
{
    if (!m_line)
        return false;
    if (m_line->GateState(address) == open)
        return false;
    if (!m_line->SetGate(address, open))
        return false;  // refused: the state stays as it was and the next pass tries again
    platform::SiteState().SetGateHeld(LoopId(), address, open);
    if (m_config.DetailedLog)
        m_log.Log("Loop id " + std::to_string(LoopId()) + " address " + std::to_string(address) +
                  (open ? " forced open" : " forced closed"));
    return true;
}

TLoop::~TLoop()
{
    // What the worker was handed runs to its end; then the line's threads
    // stop, which cancels an event not yet started; then what the line had
    // handed over meanwhile runs. After that nothing of this loop runs, and
    // the members go in reverse order of declaration.
    m_worker->Drain();
    m_line.reset();
    m_worker->Drain();
}

void TLoop::Post(std::function<void()> work)
{
    m_worker->Loop().Post([this, work = std::move(work)] {
        const config::TLogLoop tag(LoopId());
        try {
            work();
        } catch (const std::exception& e) {
            m_log.Log(std::string("Loop id ") + std::to_string(LoopId()) + ": posted work failed (" + e.what() + ")",
                      config::TLevel::Error);
        }
    });
}

bool TLoop::Invoke(const std::function<void()>& work)
{
    return m_worker->Loop().Invoke(work);
}

void TLoop::PostUpdateOutputs()
{
    // One pending pass is enough: a slow database must not pile them up.
    if (m_outputsQueued.exchange(true))
        return;
    m_worker->Loop().Post([this] {
        const config::TLogLoop tag(LoopId());
        m_outputsQueued = false;
        m_events->UpdateOutputs();
    });
}

void TLoop::UpgradeSchema()
{
    const bool report = m_database->ReportErrors;
    m_database->ReportErrors = false;
    db::TODBCStatement s(*m_database);
    const auto device = ColumnList(s.ListColumns("DEVICE"));
    for (const db::TSiteColumn& column : db::FindSiteTable("device")->Columns) {
        const std::string name(column.Name);
        if (column.Use == db::TColumnUse::AddedAtStartUp &&
            std::find(device.begin(), device.end(), config::UpperCase(name)) == device.end())
            s.Exec("alter table device add " + name + " integer");
    }
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
    m_database->ReportErrors = report;
    EnsureUniqueBarcodes();
}

// Two exits reading a barcode that has no row yet both insert one: the key
// lets only the first stand, and the second decides again on that row. On an
// SQLite file one decision runs at a time.
void TLoop::EnsureUniqueBarcodes()
{
    if (!m_database->Dialect().LockingDecision)
        return;
    db::TODBCStatement index(*m_database);
    // A unique index of barcode alone.
    if (index.ExecSQL("SELECT s.INDEX_NAME FROM information_schema.STATISTICS s WHERE s.TABLE_SCHEMA = DATABASE() "
                      "AND s.TABLE_NAME = 'tickinv' AND s.COLUMN_NAME = 'barcode' AND s.NON_UNIQUE = 0 AND "
                      "s.SEQ_IN_INDEX = 1 AND NOT EXISTS (SELECT 1 FROM information_schema.STATISTICS t WHERE "
                      "t.TABLE_SCHEMA = s.TABLE_SCHEMA AND t.TABLE_NAME = s.TABLE_NAME AND t.INDEX_NAME = s.INDEX_NAME "
                      "AND t.SEQ_IN_INDEX = 2)") ||
        index.Failed())
        return;
    db::TODBCStatement add(*m_database);
    if (add.ExecSQL("ALTER TABLE tickinv ADD UNIQUE KEY tickinv_barcode_unique (barcode)"))
        m_log.Log("tickinv: a unique key on barcode added");
    else
        m_log.Log("tickinv: no unique key on barcode (" + m_database->LastDiagnostic +
                           "): two exits reading one new barcode at once may each book it",
                       config::TLevel::Warning);
}

void TLoop::ReadLineSettings(bool rfModem, const std::optional<TLoopSettings>& settings)
{
    config::TIniFileEx ini(platform::SettingsFilePath());
    if (rfModem) {
        m_log.Log("NOTE: Using RF Modem Mode for loop id " + std::to_string(LoopId()));
        m_line->RespDelay = 200;
        m_line->TurnAround = 100;
    } else {
        m_line->RespDelay = ini.ReadIntegerInit(kSection, "RespDelay", m_line->RespDelay);
        m_line->TurnAround = ini.ReadIntegerInit(kSection, "TurnAround", m_line->TurnAround);
        m_line->PollDelay = ini.ReadIntegerInit(kSection, "PollDelay", m_line->PollDelay);
    }
    m_line->PayOnFoot = ini.ReadBoolInit(kSection, "PayOnFoot Poll", m_line->PayOnFoot);
    m_line->NoInputs = ini.ReadBoolInit(kSection, "Inputs Off", m_line->NoInputs);
    m_line->NoCounters = ini.ReadBoolInit(kSection, "Counters Off", m_line->NoCounters);
    if (!settings)
        m_config.Settings = ReadLoopSettings(ini);
}

void TLoop::CreateCardInterface(TSetUpFrom from, const std::optional<TLoopSettings>& settings)
{
    try {
        // The line's events are handled on the loop's worker, one at a time.
        m_line = std::make_unique<line::TCard>(m_worker->Loop(), &m_log);
        m_line->LoopId = LoopId();
        m_eventLog = std::make_unique<counting::TEventLog>(*m_database, LoopId());
        // Every statement of the set-up is done, and released, before the
        // line opens: from then on the connection belongs to the worker.
        bool found = false, enabled = false, rfModem = false;
        int port = 0;
        std::string name;
        {
            db::TODBCStatement loopRow(*m_database);
            found = loopRow.ExecFmt("SELECT * FROM %s WHERE id = %d", LoopTable(*m_database), LoopId());
            if (found) {
                enabled = loopRow.AsBool("enabled");
                port = loopRow.AsInteger("port");
                rfModem = loopRow.AsBool("rfmodem");
                name = loopRow.AsString("name");
            }
            db::TODBCStatement flags(*m_database);
            flags.ExecFmt("UPDATE device SET lf_sign_flag = 1 WHERE loop_id = %d and lf_sign <> 0", LoopId());
            flags.ExecFmt("UPDATE device SET lf_output_flag = 1 WHERE loop_id = %d and lf_enabled <> 0", LoopId());
        }
        int first = 0, last = 0;
        if (!found) {
            m_log.Log("Failed Card Init - No Loop id: " + std::to_string(LoopId()), config::TLevel::Error);
        } else if (enabled) {
            m_line->Port = port;
            m_log.LogFmt("Init Devices for LoopId %d Port %d", LoopId(), port);
            m_eventLog->Port = port;
            SetUpDevices(first, last);
            m_line->SetFirstReader(first);
            m_line->SetLastReader(last);
            ReadLineSettings(rfModem, settings);
        } else if (config::UpperCase(name) == "POE/POF") {
            MakePayOnFootCounters();
        }
        // Not once the line is open: its events use the binding on the worker,
        // and a card decided on the copy as if it were the site would go unjournalled.
        if (from == TSetUpFrom::Copy)
            m_database->Disconnect();
        // The configuration is fixed from here: the handlers get it with the
        // objects made for them, and the line their events.
        m_events = std::make_unique<TLoopEvents>(TLoopContext{m_config, m_log, *m_database, *m_connection, m_line.get(),
                                                              m_eventLog.get(), m_counters, m_inputs});
        BindHandlers();
        if (found && enabled)
            OpenLine(port, first, last);
        m_log.Log("CreateCardInterface - Done");
    } catch (...) {
        m_log.Log(config::WithReason("CreateCardInterface - Exception"), config::TLevel::Error);
    }
}

void TLoop::BindHandlers()
{
    auto& e = m_line->Events;
    TLoopEvents& h = *m_events;
    const int id = LoopId();
    // Each event's lines say whose they are (the loops on SQLite share a worker).
    using TText = void (TLoopEvents::*)(int, const std::string&) noexcept;
    using TReader = void (TLoopEvents::*)(int) noexcept;
    const auto text = [&h, id](TText handler) {
        return [&h, id, handler](int r, const std::string& v) {
            const config::TLogLoop tag(id);
            (h.*handler)(r, v);
        };
    };
    const auto reader = [&h, id](TReader handler) {
        return [&h, id, handler](int r) {
            const config::TLogLoop tag(id);
            (h.*handler)(r);
        };
    };
    e.OnCounter = text(&TLoopEvents::CounterEvent);
    e.OnInput = text(&TLoopEvents::InputEvent);
    e.OnError = reader(&TLoopEvents::OfflineEvent);
    e.OnPowerUp = reader(&TLoopEvents::PowerUpEvent);
    e.OnData = text(&TLoopEvents::CardDataEvent);
    e.OnMemory = text(&TLoopEvents::MemoryDataEvent);
    e.OnBarCode = text(&TLoopEvents::BarcodeEvent);
    e.OnPrinter = text(&TLoopEvents::PrinterEvent);
}

// The devices of the loop: their texts and types, the address range polled,
// and a counter and an input handler for each address in it.
void TLoop::SetUpDevices(int& first, int& last)
{
    first = 99;
    last = -99;
    db::TODBCStatement devices(*m_database);
    if (!devices.ExecFmt("SELECT * FROM device WHERE loop_id=%d", LoopId())) {
        m_log.LogFmt(config::TLevel::Warning, "No devices found for loop id %d", LoopId());
        first = last = 0;
        return;
    }
    do {
        const int a = devices.AsInteger("addr_ess");
        // The line keeps texts for addresses 0 to kMaxAddress only.
        if (a < 0 || a > line::kMaxAddress) {
            m_log.LogFmt(config::TLevel::Warning, "Device id %d of loop id %d has address %d outside 0 to %d, ignored",
                              devices.AsInteger("id"), LoopId(), a, line::kMaxAddress);
            continue;
        }
        db::TODBCStatement msg(*m_database);
        if (msg.ExecFmt("SELECT idle,gateup FROM messages WHERE id=%d", devices.AsInteger("msg_id"))) {
            m_line->SetIdleMsg(a, msg.AsString("idle"));
            m_line->SetActiveMsg(a, msg.AsString("gateup"));
        } else {
            m_line->SetIdleMsg(a, "Default message");
            m_line->SetActiveMsg(a, "Device activated");
        }
        auto& types = m_config.DeviceTypes;
        if (types.size() < static_cast<std::size_t>(a) + 1)
            types.resize(static_cast<std::size_t>(a) + 1, 0);
        types[static_cast<std::size_t>(a)] = static_cast<std::uint8_t>(devices.AsInteger("device_type") & 0xFF);
        platform::SiteState().SetDevice(LoopId(), a, devices.AsString("name"), DeviceTypeName(m_config.DeviceType(a)));
        first = std::min(first, a);
        last = std::max(last, a);
    } while (devices.Next());
    if (last < 0)
        first = last = 0;
    else
        MakeCountersAndInputs(first, last);
}

void TLoop::MakeCountersAndInputs(int first, int last)
{
    for (int a = 0; a <= last; ++a) {
        m_counters.push_back(a < first ? nullptr
                                       : std::make_unique<counting::TCounter>(m_log, *m_database, LoopId(), a, false));
        m_inputs.push_back(a < first ? nullptr
                                     : std::make_unique<counting::TInput>(LoopId(), *m_database, *m_eventLog, m_log,
                                                                          m_line.get(), a));
    }
}

void TLoop::OpenLine(int port, int first, int last)
{
    if (m_line->Open()) {
        m_log.LogFmt("TCard - PollDly %d  TurnAround %d  RespDly %d  Baud %d  OffLineDly %d",
                          m_line->PollDelay.load(), m_line->TurnAround.load(), m_line->RespDelay.load(),
                          m_line->Baud.load(), m_line->OffLineDelay.load());
        m_log.LogFmt("Device started.  LoopId %d  First address: %d  Last address: %d", LoopId(), first, last);
    } else {
        m_log.Log("Failed to open port COM" + std::to_string(port) + " for loop id " + std::to_string(LoopId()), config::TLevel::Error);
        m_log.Log("  " + m_line->LastOpenError(), config::TLevel::Error);
    }
}

// A POE/POF loop has no line: soft counters only, one per address.
void TLoop::MakePayOnFootCounters()
{
    config::TIniFileEx ini(platform::SettingsFilePath());
    if (ini.ReadBoolInit(kSection, "NoRemoteCounts", false))
        return;
    int first = 99, last = -99;
    db::TODBCStatement devices(*m_database);
    for (bool more = devices.ExecFmt("SELECT * FROM device WHERE loop_id=%d", LoopId()); more; more = devices.Next()) {
        const int a = devices.AsInteger("addr_ess");
        if (a < 0 || a > line::kMaxAddress)
            continue;
        first = std::min(first, a);
        last = std::max(last, a);
    }
    for (int a = 0; a <= last; ++a) {
        if (a < first) {
            m_counters.push_back(nullptr);
            continue;
        }
        m_counters.push_back(std::make_unique<counting::TCounter>(m_log, *m_database, LoopId(), a, true));
        m_log.Log("Created POE/POF soft counter for address " + std::to_string(a));
    }
}

} // namespace loop
