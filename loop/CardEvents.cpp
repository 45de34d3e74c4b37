// Card, memory-card and manual-open events of a loop.
#include "access/CardCheck.hpp"
#include "access/RowReaders.hpp"
#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "db/Sql.hpp"
#include "line/Card.hpp"
#include "loop/LoopEvents.hpp"
#include "mail/MailSender.hpp"
#include "platform/Metrics.hpp"
#include "platform/SiteState.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

namespace loop {
namespace {

constexpr const char* kLowSecurityText = "Thank you...";
constexpr const char* kLiftText = "Going Up!";
constexpr std::size_t kMemoryCardOffset = 10;  // a memory record's card number starts at its 11th character
constexpr int kFirstOpeningFloor = 4;          // from this floor up the lift is reached through the gate
constexpr int kLiftPulsesPerPulse = 10;
constexpr int kFewestLiftPulses = 5;
constexpr int kManualOpenCode = 999;
constexpr int kManualOpenCard = 9999999;

// The floor's lift output: floors 1 to 3 pulse outputs 1, 3 and 4.
int LiftOutput(int floor)
{
    constexpr int kOutputs[] = {1, 3, 4};
    return kOutputs[floor - 1];
}

} // namespace

TLoopEvents::TLoopEvents(TLoopContext context) : m_c(context) {}

TLoopEvents::~TLoopEvents() = default;

void TLoopEvents::CardDataEvent(int reader, const std::string& data) noexcept
{
    try {
        const int type = m_c.Config.DeviceType(reader);
        if (type == dtTicketSpitter && m_c.Line)
            m_c.Line->SpitterAck(reader, "");
        m_c.Log.Log("Got CardData event!  - " + std::to_string(reader) + " - |" + data + "|");
        const TDecide decide = [&](const db::TTarget& to) {
            if (type == dtTicketSpitter)
                RecordTicketIssue(to, reader, data);
            else if (type == dtBarcodeExit)
                CheckBarcode(to, reader, data);
            else
                CardEvent(to, reader, data);
        };
        // A card trusts a connection that answered a moment ago instead of
        // asking the server first (a round trip on every card): a decision
        // that finds it lost after all is decided again (DecisionSurvived).
        const auto check = type == dtCardReader ? db::TODBCConn::TCheck::TrustRecent : db::TODBCConn::TCheck::Probe;
        if (Connected(check)) {
            m_copy.reset();  // the next outage opens the newest copy
            m_offlineRefusalLogged = false;
            decide(Site());
        } else {
            DecideWithoutDatabase(reader, data, decide);
        }
        m_c.Log.Log("");  // writes out the decision's lines
    } catch (...) {
        m_c.Log.Log(config::WithReason("CardDataEvent Exception!"), config::TLevel::Error);
    }
}

void TLoopEvents::MemoryDataEvent(int reader, const std::string& data) noexcept
{
    try {
        m_c.Log.Log("Got MemoryData event!  - " + std::to_string(reader) + " - |" + data + "|");
        const TDecide decide = [&](const db::TTarget& to) { MemoryCardEvent(to, reader, data); };
        if (Connected())
            decide(Site());
        else
            DecideWithoutDatabase(reader, data, decide);
        m_c.Log.Log("");  // writes out the decision's lines
    } catch (...) {
        m_c.Log.Log(config::WithReason("MemoryDataEvent Exception!"), config::TLevel::Error);
    }
}

void TLoopEvents::LowSecurityOpen(int reader, const std::string& data)
{
    if (!m_c.Config.Settings.LowSecurity)
        return;  // the event is dropped: no answer, no row
    if (m_c.Line)
        m_c.Line->GateOpenMsg(reader, true, m_lastPulse, kLowSecurityText);
    if (m_c.Config.DetailedLog)
        m_c.Log.Log("Cannot connect to DB!  Card Allowed, Loop Id " + std::to_string(m_c.Config.LoopId) + " address " +
                        std::to_string(reader) + ", Card " + data,
                    config::TLevel::Warning);
}

void TLoopEvents::CardEvent(const db::TTarget& to, int reader, const std::string& data)
{
    const auto handled = std::chrono::steady_clock::now();
    const double number = config::TextToFloat(data);
    cardaccess::TCardOutputs out;
    const int result = cardaccess::CardTransaction(m_c.Config.DetailedLog, m_c.Log, to.Database,
                                                   m_c.Config.Settings.DebitExpiry, "0000", false, number, reader,
                                                   m_c.Config.LoopId, out);
    if (to.Database.ConnectionLost && !DecisionSurvived(to, reader, data, number, out))
        return;
    if (result == cardaccess::kUndecided)
        return;  // nothing stands: the reader gets no answer and shows the card again
    const auto decided = std::chrono::steady_clock::now();
    LogOfflineDecision(to, "card " + config::FloatToStr(number), reader, result);
    const int pulse = out.OpenPulse;
    m_lastPulse = pulse;
    const std::string text = DeviceMessage(result, number, out);
    if (!cardaccess::IsAccepted(result)) {
        if (m_c.Line)
            m_c.Line->GateOpenMsg(reader, false, pulse, text);
        PublishDecision(to, reader, data, result, handled, decided);
        return;
    }
    if (!SpecialOutput(to, reader, out.SpaceNo, pulse) && m_c.Line)
        m_c.Line->GateOpenMsg(reader, true, pulse, text);
    PublishDecision(to, reader, data, result, handled, decided);
    const std::string card = config::FloatToStr(number);
    if (m_c.Config.DetailedLog)
        m_c.Log.Log("Card Allowed, Loop Id " + std::to_string(m_c.Config.LoopId) + " address " + std::to_string(reader) +
                    ", Card " + card);
    if (!m_c.Config.Settings.EmailServer.empty())
        NotifyByMail("Card: " + card + ", Name: " + out.FirstName + ", Device: " + out.DeviceName);
    SoftCount(to, reader);
}

// The database went away during the decision, and its transaction with the
// session. Lost before the commit was sent, nothing of it was applied: the
// card is decided again on a new connection (the next host of a list). Lost
// at the commit, the trans row tells whether the server applied it. Otherwise
// the card is answered as while the database is away. True when the decision
// stands and is to be answered.
bool TLoopEvents::DecisionSurvived(const db::TTarget& to, int reader, const std::string& data, double number,
                                   const cardaccess::TCardOutputs& out)
{
    const std::string card = config::FloatToStr(number);
    if (!to.Journalled && !m_decidingAgain && Reconnected()) {
        if (m_c.Database.LostAtCommit) {
            db::TODBCStatement booked(m_c.Database);
            if (booked.ExecFmt("SELECT cardno FROM trans WHERE cardno = %f and device_id = %d and dat_e = %s", number,
                               out.Device ? out.Device->Id : 0, db::DateTimeEscape(out.TransTime))) {
                m_c.Log.Log("Card " + card + ": the connection was lost at the commit, which the database applied",
                            config::TLevel::Warning);
                return true;
            }
        }
        m_c.Log.Log("Card " + card + ": the connection was lost before the decision was committed; it is decided again",
                    config::TLevel::Warning);
        m_decidingAgain = true;
        CardEvent(Site(), reader, data);
        m_decidingAgain = false;
        return false;
    }
    if (to.Journalled || !DecideOffline([&](const db::TTarget& copy) { CardEvent(copy, reader, data); }))
        LowSecurityOpen(reader, data);
    return false;
}

void TLoopEvents::PublishDecision(const db::TTarget& to, int reader, const std::string& card, int result,
                                  std::chrono::steady_clock::time_point handled,
                                  std::chrono::steady_clock::time_point decided) noexcept
{
    try {
        using TSeconds = std::chrono::duration<double>;
        const std::string text = cardaccess::AccessResultText(result);
        auto& metrics = platform::Metrics();
        metrics.Add("velixcard_decisions_total", {{"result", text}});
        if (to.Journalled)
            metrics.Add("velixcard_offline_decisions_total");
        metrics.Observe("velixcard_decision_seconds", {}, TSeconds(decided - handled).count());
        metrics.Observe("velixcard_card_road_seconds", {}, TSeconds(std::chrono::steady_clock::now() - handled).count());
        const auto t = platform::LocalNow();
        platform::SiteState().AddDecision(m_c.Config.LoopId, reader, config::TrimText(card), text,
                                          config::Format("%.2d:%.2d:%.2d", t.Hour, t.Minute, t.Second));
    } catch (...) {
    }
}

// A connection lost under a decision is often a node gone from a cluster:
// the next host may answer only a moment later (its first connect meets the
// dying node). A few tries, so that the card is decided rather than lost.
bool TLoopEvents::Reconnected() noexcept
{
    constexpr int kAttempts = 4;
    constexpr auto kPause = std::chrono::milliseconds(500);
    for (int attempt = 1;; ++attempt) {
        if (Connected())
            return true;
        if (attempt == kAttempts)
            return false;
        std::this_thread::sleep_for(kPause);
    }
}

void TLoopEvents::NotifyByMail(const std::string& body) noexcept
{
    try {
        const TLoopSettings& s = m_c.Config.Settings;
        m_c.Log.Log("Sending email to: " + s.EmailTo + " Server: " + s.EmailServer + " Port: " + std::to_string(s.EmailPort));
        if (!m_mailer)
            m_mailer = std::make_unique<mail::TMailSender>(m_c.Log, mail::TMailSender::TOptions{});
        m_mailer->Post({.Server = s.EmailServer, .Port = s.EmailPort, .From = s.EmailFrom, .Recipients = s.EmailTo,
                        .Subject = "Card Event", .Body = body, .Security = s.EmailSecurity});
    } catch (...) {
        m_c.Log.Log(config::WithReason("Exception in MailMessage()"), config::TLevel::Error);
    }
}

void TLoopEvents::MemoryCardEvent(const db::TTarget& to, int reader, const std::string& data)
{
    const double number =
        data.size() > kMemoryCardOffset ? config::TextToFloat(std::string_view(data).substr(kMemoryCardOffset)) : 0;
    cardaccess::TCardOutputs out;
    const int result = cardaccess::CardTransaction(m_c.Config.DetailedLog, m_c.Log, to.Database,
                                                   m_c.Config.Settings.DebitExpiry, data, true, number, reader,
                                                   m_c.Config.LoopId, out);
    // The reader has let the car through already: nothing goes back to it.
    if (to.Database.ConnectionLost && !to.Journalled) {
        DecideOffline([&](const db::TTarget& copy) { MemoryCardEvent(copy, reader, data); });
        return;
    }
    if (result < 0)
        return;  // rejected or undecided, and logged
    LogOfflineDecision(to, "memory card " + config::FloatToStr(number), reader, result);
    if (!cardaccess::IsAccepted(result) || to.Database.ConnectionLost)
        return;
    if (m_c.Config.DetailedLog)
        m_c.Log.Log("Memory Card Success, Loop Id " + std::to_string(m_c.Config.LoopId) + " address " +
                    std::to_string(reader) + ", Card " + config::FloatToStr(number));
    SoftCount(to, reader);
}

std::string TLoopEvents::DeviceMessage(int result, double number, const cardaccess::TCardOutputs& decided) const
{
    const auto& messages = decided.Messages;
    const int code = result & ~cardaccess::kSoftBit;
    if (code < 0 || static_cast<std::size_t>(code) >= cardaccess::kMessageColumns.size())
        return "Unknown Error";
    // "%c" shows the number presented only where the card is not on file.
    const std::string extra = code == cardaccess::arNotOnFile ? config::FloatToStr(number) : std::string();
    const auto fields = cardaccess::CardFields(decided.Card.value_or(cardaccess::TCardRow{}),
                                               decided.CardType.value_or(cardaccess::TCardTypeRow{}));
    return cardaccess::ExpandTemplate(messages ? messages->Texts[static_cast<std::size_t>(code)] : std::string(),
                                      fields, extra, platform::NowDateTime());
}

bool TLoopEvents::SpecialOutput(const db::TTarget& to, int address, int spaceNo, int pulse)
{
    if (spaceNo <= 0)
        return false;
    const bool detailed = m_c.Config.DetailedLog;
    db::TODBCStatement spot(to.Database);
    if (!spot.ExecFmtQuiet("select * from spots where number=%d", spaceNo)) {
        if (detailed)
            m_c.Log.LogFmt(config::TLevel::Warning, "'Special' output.  %d NOT Found in Spots file", spaceNo);
        return false;
    }
    const int floor = spot.AsInteger("floor");
    if (floor <= 0) {
        if (detailed)
            m_c.Log.LogFmt(config::TLevel::Warning, "'Special' output %d invalid", floor);
        return false;
    }
    if (detailed)
        m_c.Log.LogFmt("'Special' output %d going On!", floor);
    if (!m_c.Line)
        return true;
    if (floor >= kFirstOpeningFloor) {
        m_c.Line->GateOpenMsg(address, true, pulse, kLiftText);
    } else {
        m_c.Line->GateOpenMsg(address, false, pulse, kLiftText);
        m_c.Line->PulseOutput(address, LiftOutput(floor), std::max(kLiftPulsesPerPulse * pulse, kFewestLiftPulses));
    }
    return true;
}

void TLoopEvents::ManualOpen(int address, int pulse)
{
    const int loopId = m_c.Config.LoopId;
    m_c.Log.Log("Manual open Loop Id " + std::to_string(loopId) + " address " + std::to_string(address));
    if (m_c.Line)
        m_c.Line->GateOpenMsg(address, true, pulse, "Manual Open");
    const cardaccess::TDeviceRow device = DeviceRow(m_c.Database, address);
    db::TSql row(m_c.Database.Kind());
    row.AddDateTime("dat_e", platform::NowDateTime());
    row.AddInt("device_id", device.Id);
    row.AddInt("error_code", kManualOpenCode);
    row.AddField("error_desc", "Manual Open", true);
    row.AddInt("cardno", kManualOpenCard);
    row.AddField("device_name", device.Name, true);
    row.AddField("first_name", device.RemoteUser, true);
    row.AddField("last_name", "IP:" + device.RemoteIp, true);
    db::TODBCStatement insert(m_c.Database);
    insert.Exec(row.BuildInsert("INSERT INTO trans", "Values", ""));
}

} // namespace loop
