#include "loop/Tickets.hpp"

#include "config/Format.hpp"

#include <algorithm>

namespace loop {
namespace {

constexpr int kOfflineBit = 0x01;
constexpr int kBackedOutBit = 0x02;

// Printer status bits.
constexpr int kPtrOffline = 0x001;
constexpr int kPtrPaperOut = 0x002;
constexpr int kPtrLowPaper = 0x004;
constexpr int kPtrPaperJam = 0x080;
constexpr int kPtrAnyFault = 0xFF7;  // every bit with a text
constexpr int kPtrPaperFaults = kPtrPaperOut | kPtrLowPaper | kPtrPaperJam;

struct TStatusBit {
    int Bit;
    const char* Text;
};
constexpr TStatusBit kStatusBits[] = {
    {kPtrOffline, "offline;"},     {kPtrPaperOut, "paper out;"},  {kPtrLowPaper, "low paper;"},
    {0x010, "cover open;"},        {0x020, "temp error;"},        {0x040, "power error;"},
    {kPtrPaperJam, "paper jam;"},  {0x100, "cutter error;"},      {0x200, "ram error;"},
    {0x400, "eprom error;"},       {0x800, "emitter error;"},
};

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

} // namespace

const char* ExitReplyText(TExitState state)
{
    switch (state) {
    case TExitState::Accepted: return "Thank you...";
    case TExitState::Used: return "ExitPass Used";
    case TExitState::SystemError: return "System ERROR!";
    case TExitState::Expired: return "ExitPass Expired";
    case TExitState::Passback: return "Passback Error";
    case TExitState::ReadError: break;
    }
    return "Read ERROR;Please Re-try";
}

std::optional<TIssueRecord> SplitIssueRecord(std::string_view record)
{
    if (record.size() != kIssueRecordLength)
        return std::nullopt;
    const int flags = record[0] >= '0' && record[0] <= '9' ? record[0] - '0' : 0;
    TIssueRecord out;
    out.OffLine = (flags & kOfflineBit) != 0;
    out.BackedOut = (flags & kBackedOutBit) != 0;
    out.Barcode = std::string(record.substr(1, 10));
    std::string_view ticket = record.substr(11, 6);
    while (ticket.size() > 1 && ticket.front() == '0')
        ticket.remove_prefix(1);
    out.Ticket = std::string(ticket);
    return out;
}

int BarcodeLane(std::string_view barcode)
{
    // The lane closes every barcode form: characters 9 and 10 of the ten
    // characters a spitter prints, the last two of the longer forms (whose
    // middle characters count seconds, not lanes).
    constexpr std::size_t kLaneDigits = 2;
    constexpr std::size_t kShortForm = 10;
    constexpr std::size_t kShortFormLane = kShortForm - kLaneDigits;
    if (barcode.size() >= kShortForm)
        return config::TextToInt(barcode.substr(barcode.size() - kLaneDigits));
    return barcode.size() <= kShortFormLane ? 0 : config::TextToInt(barcode.substr(kShortFormLane));
}

TPrinterWords ParsePrinterValue(std::string_view value)
{
    constexpr std::size_t kSecondWordLength = 99;
    TPrinterWords out;
    const auto comma = value.find(',');
    out.Two = comma != std::string_view::npos;
    out.First = config::TextToInt(value.substr(0, comma));
    if (out.Two)
        out.Second = config::TextToInt(value.substr(comma + 1, kSecondWordLength));
    return out;
}

std::string PrinterStatusText(int word)
{
    std::string out;
    for (const auto& b : kStatusBits)
        if (word & b.Bit)
            out += b.Text;
    return out.empty() ? "Ok" : out;
}

TPrinterColumns PrinterColumns(int word)
{
    TPrinterColumns out;
    if ((word & kPtrAnyFault) == 0)
        return out;
    if (word & kPtrPaperFaults)
        out.Paper = ((word & kPtrLowPaper) ? 1 : 0) + ((word & (kPtrPaperOut | kPtrPaperJam)) ? 2 : 0);
    else if (word & kPtrOffline)
        out.Fail = 1;
    else
        out.Hardware = 1;
    return out;
}

std::string TicketTimeText(platform::TDateTime value)
{
    const auto t = platform::DecodeDateTime(value);
    const int month = t.Month >= 1 && t.Month <= 12 ? t.Month : 1;
    return config::Format("%s%.2d/%.4d %.2d:%.2d:%.2d", kMonths[month - 1], t.Day, t.Year, t.Hour, t.Minute,
                          t.Second);
}

} // namespace loop

namespace loop {

TExitJudgement JudgeExit(int direction, int status, int lane, int minutesSinceIssue, const TExitRules& rules)
{
    constexpr int kEntry = 1;
    TExitJudgement j;
    if (direction == kEntry && status == kTicketInside) {
        j.State = TExitState::Passback;
        return j;
    }
    if (status == kTicketUsed && direction != kEntry) {
        j.State = TExitState::Used;
        return j;
    }
    if (rules.FlatRate && lane > kExtendedLaneBase)
        return j;
    const bool extended = std::any_of(rules.ExtendedGraceLanes.begin(), rules.ExtendedGraceLanes.end(),
                                      [lane](int n) { return n + kExtendedLaneBase == lane; });
    int grace = extended ? rules.ExtendedGraceMinutes : rules.GraceMinutes;
    if (direction == kEntry && status == kTicketUsed) {
        // A used ticket shown at an entry: back inside only if issued just now.
        grace = 0;
        j.NewStatus = kTicketInside;
    }
    if (minutesSinceIssue > grace || (minutesSinceIssue < 0 && -minutesSinceIssue > rules.FutureGraceMinutes))
        j.State = TExitState::Expired;
    return j;
}

// An older row with the same barcode or ticket number is renamed or
// renumbered, unless it is the row an exit made before this late (off-line)
// issue record arrived: that row is then completed.
TIssuePlan PlanIssue(const TIssueRecord& issue, const std::optional<TIssueRow>& byBarcode,
                     const std::optional<TIssueRow>& byTicket)
{
    TIssuePlan plan;
    if (byBarcode) {
        if (byBarcode->IssuerId == 0 && byBarcode->TakerId != 0 && issue.OffLine)
            plan.CompleteExitRow = true;
        else
            plan.Aside = TIssuePlan::TAside::Barcode;
        return plan;
    }
    if (byTicket) {
        plan.ByTicket = true;
        if (byTicket->TakerId != 0 && issue.OffLine)
            plan.CompleteExitRow = true;
        else
            plan.Aside = TIssuePlan::TAside::Ticket;
    }
    return plan;
}

} // namespace loop
