#pragma once

#include "access/AccessRules.hpp"
#include "access/CardInputs.hpp"

#include <optional>
#include <string>
#include <vector>

namespace cardaccess {

// What the loop answers a decided card with, also on refusal: the rows the
// decision read, the card as its writes left it, the device text's row.
struct TCardOutputs {
    std::string DeviceName;
    std::string FirstName;
    platform::TDateTime TransTime = 0;
    int SpaceNo = -1;  // -1: the device has no special output
    int OpenPulse = 0;
    std::optional<TDeviceRow> Device;
    std::optional<TCardRow> Card;
    std::optional<TCardTypeRow> CardType;
    std::optional<TMessagesRow> Messages;
};

struct TCardQuestion {
    double Number = 0;
    platform::TDateTime T = 0;  // the decision's time: now, or a memory record's
    bool DebitExpiry = false;
    bool DetailedLog = false;
};

// A card's decision as data: its result, the lines it logs (in order) and
// what it writes.
struct TCardDecision {
    int Result = arNotOnFile;
    std::vector<std::string> Lines;
    TCardChanges CardChanges;               // on the card's row
    std::optional<TFirstUse> TypeFirstUse;  // on the card type's row (global expiry)
    int PoolChange = 0;                     // on the card's group: +1, -1 or 0
    TCardOutputs Outputs;
};

// The checks in order, the first that fails deciding: on file, card type,
// time ranges, validity, group, pathway, passback. Lines of the detailed log
// only with the switch on ("Table: ..." always).
struct TCheckOutcome {
    int Result = arNotOnFile;
    std::vector<std::string> Lines;
    std::optional<TFirstUse> FirstUse;  // written whatever the result
};
TCheckOutcome CheckCard(const TCardInputs& in, const TCardQuestion& q);

// The bookkeeping of an accepted card: lot, debit, last use, pathway and group.
void AcceptCard(const TCardInputs& in, const TCardQuestion& q, int result, TCardDecision& d);

// The whole decision: checks, bookkeeping and the answer's data. Pure: no
// database, no log.
TCardDecision DecideCard(const TCardInputs& in, const TCardQuestion& q);

} // namespace cardaccess
