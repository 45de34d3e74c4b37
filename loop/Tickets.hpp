#pragma once

#include "platform/LocalTime.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace loop {

// How an exit pass was judged, and the text the reader shows for it.
enum class TExitState { ReadError, Accepted, Used, SystemError, Expired, Passback };
const char* ExitReplyText(TExitState state);

// tickinv.status.
inline constexpr int kTicketInside = 0;
inline constexpr int kTicketUsed = 2;
// Lanes above it are pay-on-foot exits.
inline constexpr int kExtendedLaneBase = 50;

// The settings the exit rules judge by.
struct TExitRules {
    int GraceMinutes = 15;
    std::vector<int> ExtendedGraceLanes;  // lane numbers above kExtendedLaneBase
    int ExtendedGraceMinutes = 15;
    int FutureGraceMinutes = 15;
    bool FlatRate = false;
};

// An exit pass judged: its state and, accepted, the status the ticket takes.
struct TExitJudgement {
    TExitState State = TExitState::Accepted;
    int NewStatus = kTicketUsed;
};
// The exit rules in order, for a ticket of that status at a device of that
// direction (1 entry), minutesSinceIssue after the barcode's time. Pure.
TExitJudgement JudgeExit(int direction, int status, int lane, int minutesSinceIssue, const TExitRules& rules);



// The record a ticket spitter sends when it prints a ticket: a flag digit,
// the 10-character barcode and the 6-digit ticket number.
struct TIssueRecord {
    bool OffLine = false;    // issued while the spitter was off line, reported from its memory
    bool BackedOut = false;  // the car backed out instead of driving in
    std::string Barcode;
    std::string Ticket;      // leading zeros removed, at least one digit left
};
inline constexpr std::size_t kIssueRecordLength = 17;

// nullopt unless the record has exactly kIssueRecordLength characters.
std::optional<TIssueRecord> SplitIssueRecord(std::string_view record);

// What a spitter's issue record writes: an insert, or an update of the row an
// exit made before this late (off-line) record arrived; and what it moves out
// of the way first.
struct TIssuePlan {
    enum class TAside { None, Barcode, Ticket } Aside = TAside::None;
    bool CompleteExitRow = false;  // update the row found instead of inserting
    bool ByTicket = false;         // the row found is the one of the ticket number (issuerid NULL)
};
// The rows of tickinv with the record's barcode, and with its ticket number
// and no issuer, as the plan sees them.
struct TIssueRow {
    int IssuerId = 0;
    int TakerId = 0;
};
TIssuePlan PlanIssue(const TIssueRecord& issue, const std::optional<TIssueRow>& byBarcode,
                     const std::optional<TIssueRow>& byTicket);

// The lane of a barcode, its last two characters (9 and 10 of the ten-character
// form), as a number; 0 when not a number.
int BarcodeLane(std::string_view barcode);

// The texts of the set bits of a printer status word, in bit order; "Ok" for none.
std::string PrinterStatusText(int word);

// The status words of a printer value: "s1" or "s1,s2" (up to 99 characters
// after the comma); what is not a number reads as 0.
struct TPrinterWords {
    int First = 0;
    int Second = 0;
    bool Two = false;
};
TPrinterWords ParsePrinterValue(std::string_view value);

// The paper, hardware and fail columns of one printer for its status word.
struct TPrinterColumns {
    int Paper = 0;     // 1 low paper, 2 paper out or jammed, 3 both
    int Hardware = 0;
    int Fail = 0;      // off line
};
TPrinterColumns PrinterColumns(int word);

// "MMMDD/YYYY HH:NN:SS", e.g. "Dec09/2026 14:03:09".
std::string TicketTimeText(platform::TDateTime value);

} // namespace loop
