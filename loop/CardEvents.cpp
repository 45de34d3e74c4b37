// Card, memory-card and manual-open events of a loop.
#include "access/CardCheck.hpp"
#include "access/RowReaders.hpp"
#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "db/Sql.hpp"
#include "loop/Loop.hpp"
#include "mail/MailSender.hpp"
#include "platform/Metrics.hpp"
#include "platform/SiteState.hpp"

#include <algorithm>
#include <array>
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

const char* DeviceTypeName(int type) noexcept
{
    switch (type) {
    case dtTicketSpitter: return "spitter";
    case dtBarcodeExit: return "barcode exit";
    default: return "reader";
    }
}

int TLoop::DeviceType(int address) const
{
    return address >= 0 && static_cast<std::size_t>(address) < m_deviceTypes.size()
               ? static_cast<int>(m_deviceTypes[static_cast<std::size_t>(address)])
               : static_cast<int>(dtCardReader);
}

void TLoop::CardDataEvent(int reader, const std::string& data) noexcept
{
    try {
        const int type = DeviceType(reader);
        if (type == dtTicketSpitter && m_line)
            m_line->SpitterAck(reader, "");
        MessageLog.Log("Got CardData event!  - " + std::to_string(reader) + " - |" + data + "|");
        const auto decide = [&] {
            if (type == dtTicketSpitter)
                RecordTicketIssue(reader, data);
            else if (type == dtBarcodeExit)
                CheckBarcode(reader, data);
            else
                CardEvent(reader, data);
        };
        // A card trusts a connection that answered a moment ago instead of
        // asking the server first (a round trip on every card): a decision
        // that finds it lost after all is decided again (DecisionSurvived).
        const auto check = type == dtCardReader ? db::TODBCConn::TCheck::TrustRecent : db::TODBCConn::TCheck::Probe;
        if (Connected(check)) {
            m_offlineDb.reset();  // the next outage opens the newest copy
            m_offlineRefusalLogged = false;
            decide();
        } else {
            DecideWithoutDatabase(reader, data, decide);
        }
        MessageLog.Log("");  // writes out the decision's lines
    } catch (...) {
        MessageLog.Log(config::WithReason("CardDataEvent Exception!"), config::TLevel::Error);
    }
}

void TLoop::MemoryDataEvent(int reader, const std::string& data) noexcept
{
    try {
        MessageLog.Log("Got MemoryData event!  - " + std::to_string(reader) + " - |" + data + "|");
        if (Connected())
            MemoryCardEvent(reader, data);
        else
            DecideWithoutDatabase(reader, data, [&] { MemoryCardEvent(reader, data); });
        MessageLog.Log("");  // writes out the decision's lines
    } catch (...) {
        MessageLog.Log(config::WithReason("MemoryDataEvent Exception!"), config::TLevel::Error);
    }
}

void TLoop::LowSecurityOpen(int reader, const std::string& data)
{
    if (!Settings.LowSecurity)
        return;  // the event is dropped: no answer, no row
    if (m_line)
        m_line->GateOpenMsg(reader, true, LastPulse, kLowSecurityText);
    if (DetailedLog)
        MessageLog.Log("Cannot connect to DB!  Card Allowed, Loop Id " + std::to_string(LoopId) + " address " +
                           std::to_string(reader) + ", Card " + data,
                       config::TLevel::Warning);
}

void TLoop::CardEvent(int reader, const std::string& data)
{
    const auto handled = std::chrono::steady_clock::now();
    const double number = config::TextToFloat(data);
    cardaccess::TCardOutputs out;
    const int result = cardaccess::CardTransaction(DetailedLog, MessageLog, *m_database, Settings.DebitExpiry, "0000", false,
                                                   number, reader, LoopId, out);
    if (m_database->ConnectionLost && !DecisionSurvived(reader, data, number, out))
        return;
    if (result == cardaccess::kUndecided)
        return;  // nothing stands: the reader gets no answer and shows the card again
    const auto decided = std::chrono::steady_clock::now();
    LogOfflineDecision("card " + config::FloatToStr(number), reader, result);
    const int pulse = out.OpenPulse;
    LastPulse = pulse;
    const std::string text = DeviceMessage(result, number, out);
    if (!cardaccess::IsAccepted(result)) {
        if (m_line)
            m_line->GateOpenMsg(reader, false, pulse, text);
        PublishDecision(reader, data, result, handled, decided);
        return;
    }
    if (!SpecialOutput(reader, out.SpaceNo, pulse) && m_line)
        m_line->GateOpenMsg(reader, true, pulse, text);
    PublishDecision(reader, data, result, handled, decided);
    const std::string card = config::FloatToStr(number);
    if (DetailedLog)
        MessageLog.Log("Card Allowed, Loop Id " + std::to_string(LoopId) + " address " + std::to_string(reader) +
                       ", Card " + card);
    if (!Settings.EmailServer.empty())
        NotifyByMail("Card: " + card + ", Name: " + out.FirstName + ", Device: " + out.DeviceName);
    SoftCount(reader);
}

// The database went away during the decision, and its transaction with the
// session. Lost before the commit was sent, nothing of it was applied: the
// card is decided again on a new connection (the next host of a list). Lost
// at the commit, the trans row tells whether the server applied it. Otherwise
// the card is answered as while the database is away. True when the decision
// stands and is to be answered.
bool TLoop::DecisionSurvived(int reader, const std::string& data, double number, const cardaccess::TCardOutputs& out)
{
    const std::string card = config::FloatToStr(number);
    if (!m_offlineActive && !m_decidingAgain && Reconnected()) {
        if (m_database->LostAtCommit) {
            db::TODBCStatement booked(*m_database);
            if (booked.ExecFmt("SELECT cardno FROM trans WHERE cardno = %f and device_id = %d and dat_e = %s", number,
                               out.Device ? out.Device->Id : 0, db::DateTimeEscape(out.TransTime))) {
                MessageLog.Log("Card " + card + ": the connection was lost at the commit, which the database applied", config::TLevel::Warning);
                return true;
            }
        }
        MessageLog.Log("Card " + card + ": the connection was lost before the decision was committed; it is decided again", config::TLevel::Warning);
        m_decidingAgain = true;
        CardEvent(reader, data);
        m_decidingAgain = false;
        return false;
    }
    if (m_offlineActive || !DecideOffline([&] { CardEvent(reader, data); }))
        LowSecurityOpen(reader, data);
    return false;
}

void TLoop::PublishDecision(int reader, const std::string& card, int result, std::chrono::steady_clock::time_point handled,
                            std::chrono::steady_clock::time_point decided) noexcept
{
    try {
        using TSeconds = std::chrono::duration<double>;
        const std::string text = cardaccess::AccessResultText(result);
        auto& metrics = platform::Metrics();
        metrics.Add("velixcard_decisions_total", {{"result", text}});
        if (m_offlineActive)
            metrics.Add("velixcard_offline_decisions_total");
        metrics.Observe("velixcard_decision_seconds", {}, TSeconds(decided - handled).count());
        metrics.Observe("velixcard_card_road_seconds", {}, TSeconds(std::chrono::steady_clock::now() - handled).count());
        const auto t = platform::LocalNow();
        platform::SiteState().AddDecision(LoopId, reader, config::TrimText(card), text,
                                          config::Format("%.2d:%.2d:%.2d", t.Hour, t.Minute, t.Second));
    } catch (...) {
    }
}

// A connection lost under a decision is often a node gone from a cluster:
// the next host may answer only a moment later (its first connect meets the
// dying node). A few tries, so that the card is decided rather than lost.
bool TLoop::Reconnected() noexcept
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

void TLoop::NotifyByMail(const std::string& body) noexcept
{
    try {
        MessageLog.Log("Sending email to: " + Settings.EmailTo + " Server: " + Settings.EmailServer +
                       " Port: " + std::to_string(Settings.EmailPort));
        if (!m_mailer)
            m_mailer = std::make_unique<mail::TMailSender>(MessageLog, mail::TMailSender::TOptions{});
        m_mailer->Post({.Server = Settings.EmailServer, .Port = Settings.EmailPort, .From = Settings.EmailFrom, .Recipients = Settings.EmailTo,
                      .Subject = "Card Event", .Body = body, .Security = Settings.EmailSecurity});
    } catch (...) {
        MessageLog.Log(config::WithReason("Exception in MailMessage()"), config::TLevel::Error);
    }
}

void TLoop::MemoryCardEvent(int reader, const std::string& data)
{
    const double number =
        data.size() > kMemoryCardOffset ? config::TextToFloat(std::string_view(data).substr(kMemoryCardOffset)) : 0;
    cardaccess::TCardOutputs out;
    const int result = cardaccess::CardTransaction(DetailedLog, MessageLog, *m_database, Settings.DebitExpiry, data, true, number,
                                                   reader, LoopId, out);
    // The reader has let the car through already: nothing goes back to it.
    if (m_database->ConnectionLost && !m_offlineActive) {
        DecideOffline([&] { MemoryCardEvent(reader, data); });
        return;
    }
    if (result < 0)
        return;  // rejected or undecided, and logged
    LogOfflineDecision("memory card " + config::FloatToStr(number), reader, result);
    if (!cardaccess::IsAccepted(result) || m_database->ConnectionLost)
        return;
    if (DetailedLog)
        MessageLog.Log("Memory Card Success, Loop Id " + std::to_string(LoopId) + " address " +
                       std::to_string(reader) + ", Card " + config::FloatToStr(number));
    SoftCount(reader);
}

std::string TLoop::DeviceMessage(int result, double number, const cardaccess::TCardOutputs& decided)
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

bool TLoop::SpecialOutput(int address, int spaceNo, int pulse)
{
    if (spaceNo <= 0)
        return false;
    db::TODBCStatement spot(*m_database);
    if (!spot.ExecFmtQuiet("select * from spots where number=%d", spaceNo)) {
        if (DetailedLog)
            MessageLog.LogFmt(config::TLevel::Warning, "'Special' output.  %d NOT Found in Spots file", spaceNo);
        return false;
    }
    const int floor = spot.AsInteger("floor");
    if (floor <= 0) {
        if (DetailedLog)
            MessageLog.LogFmt(config::TLevel::Warning, "'Special' output %d invalid", floor);
        return false;
    }
    if (DetailedLog)
        MessageLog.LogFmt("'Special' output %d going On!", floor);
    if (!m_line)
        return true;
    if (floor >= kFirstOpeningFloor) {
        m_line->GateOpenMsg(address, true, pulse, kLiftText);
    } else {
        m_line->GateOpenMsg(address, false, pulse, kLiftText);
        m_line->PulseOutput(address, LiftOutput(floor), std::max(kLiftPulsesPerPulse * pulse, kFewestLiftPulses));
    }
    return true;
}

void TLoop::ManualOpen(int address, int pulse)
{
    MessageLog.Log("Manual open Loop Id " + std::to_string(LoopId) + " address " + std::to_string(address));
    if (m_line)
        m_line->GateOpenMsg(address, true, pulse, "Manual Open");
    const cardaccess::TDeviceRow device = DeviceRow(address);
    db::TSql row(m_database->Kind());
    row.AddDateTime("dat_e", platform::NowDateTime());
    row.AddInt("device_id", device.Id);
    row.AddInt("error_code", kManualOpenCode);
    row.AddField("error_desc", "Manual Open", true);
    row.AddInt("cardno", kManualOpenCard);
    row.AddField("device_name", device.Name, true);
    row.AddField("first_name", device.RemoteUser, true);
    row.AddField("last_name", "IP:" + device.RemoteIp, true);
    db::TODBCStatement insert(*m_database);
    insert.Exec(row.BuildInsert("INSERT INTO trans", "Values", ""));
}

} // namespace loop
