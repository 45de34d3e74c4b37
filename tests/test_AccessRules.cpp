// The decision rules on plain values, with no database.
#include "access/AccessRules.hpp"
#include "access/CardDecision.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <functional>

using cardaccess::TDirection;
using testing_support::At;

namespace {

// Wednesday 29 May 2024.
const platform::TDateTime kNow = At(2024, 5, 29, 10, 0);
constexpr double kMinute = 1.0 / 1440;

platform::TDateTime Time(int h, int mi, int s = 0)
{
    return platform::EncodeTime(h, mi, s);
}

} // namespace

TEST(AccessRules, TimeRangesAtTheirEdges)
{
    struct TCase {
        platform::TDateTime start, end, at;
        bool inside;
    };
    const TCase cases[] = {
        {Time(8, 0), Time(17, 0), At(2024, 5, 29, 17, 0, 0), true},
        {Time(8, 0), Time(17, 0), At(2024, 5, 29, 17, 0, 1), false},
        {Time(8, 0), Time(17, 0), At(2024, 5, 29, 8, 0, 0), true},
        {Time(22, 0), Time(6, 0), At(2024, 5, 29, 0, 0, 0), true},
        {Time(22, 0), Time(6, 0), At(2024, 5, 29, 6, 0, 1), false},
        {Time(22, 0), Time(6, 0), At(2024, 5, 29, 12, 0), false},
        {Time(10, 0), Time(10, 0), At(2024, 5, 29, 3, 0), true},  // equal times: the whole day
    };
    for (const auto& c : cases)
        EXPECT_EQ(cardaccess::InTimeRanges({{c.start, c.end}}, c.at), c.inside) << c.at;
    EXPECT_FALSE(cardaccess::InTimeRanges({}, kNow));
    // Day columns count from Sunday, gateoc day codes from Monday; holidays are 9 (table 2) or 8.
    EXPECT_EQ(cardaccess::DayColumn(0, kNow), 4);
    EXPECT_EQ(cardaccess::DayCode(0, kNow), 3);
    EXPECT_EQ(cardaccess::DayColumn(0, At(2024, 6, 2)), 1);
    EXPECT_EQ(cardaccess::DayCode(0, At(2024, 6, 2)), 7);
    EXPECT_EQ(cardaccess::DayColumn(2, kNow), 9);
    EXPECT_EQ(cardaccess::DayCode(1, kNow), 8);
}

TEST(AccessRules, ValidityPeriodsAndFirstUse)
{
    cardaccess::TCardTypeRow timed;
    cardaccess::TCardRow card;
    card.Dates = {.DateSet = true, .Start = At(2024, 5, 1), .Expiry = At(2024, 5, 29, 10, 0)};
    EXPECT_TRUE(cardaccess::CheckValidity(timed, card, false, kNow).Valid) << "expiry itself is inside";
    EXPECT_FALSE(cardaccess::CheckValidity(timed, card, false, kNow + 1.0 / 86400).Valid);
    card.Dates = {.DateSet = true, .Start = At(2024, 5, 30), .Expiry = At(2024, 6, 30),
                  .PrevStart = At(2024, 4, 30), .PrevExpiry = At(2024, 5, 29, 23, 59, 59)};
    EXPECT_TRUE(cardaccess::CheckValidity(timed, card, false, kNow).Valid) << "before the new period: the previous";

    cardaccess::TCardTypeRow firstUse{.Days = 30, .FirstUse = true};
    card.Dates = {};
    const auto v = cardaccess::CheckValidity(firstUse, card, false, kNow);
    ASSERT_TRUE(v.FirstUse);
    EXPECT_TRUE(v.Valid);
    EXPECT_FALSE(v.FirstUse->OnCardType);
    EXPECT_EQ(v.FirstUse->Expiry, kNow + 30);
    firstUse.GlobalExpiry = true;
    EXPECT_TRUE(cardaccess::CheckValidity(firstUse, card, false, kNow).FirstUse->OnCardType);
    firstUse.Dates.DateSet = true;
    EXPECT_FALSE(cardaccess::CheckValidity(firstUse, card, false, kNow).FirstUse) << "set once only";
}

TEST(AccessRules, DebitUsesTimeLimitAndMonthlyRenewal)
{
    const cardaccess::TCardTypeRow debit{.Debit = true, .DebitTimeLimitFlag = true, .DebitTimeLimit = 10};
    cardaccess::TCardRow card;
    card.Dates.Start = At(2024, 1, 1);
    card.DebitDate = kNow - 5 * kMinute;
    EXPECT_TRUE(cardaccess::DebitValid(false, kNow, card.Dates.Start, debit, card)) << "free window, no uses left";
    EXPECT_FALSE(cardaccess::DebitUse(debit, card, false, kNow)) << "nothing taken inside the window";
    EXPECT_FALSE(cardaccess::DebitValid(false, kNow + 6 * kMinute, card.Dates.Start, debit, card));
    card.DebitLeft = 2;
    EXPECT_EQ(cardaccess::DebitUse(debit, card, false, kNow + 6 * kMinute)->DebitLeft, 1);

    const cardaccess::TCardTypeRow monthly{.DebitReset = true, .Uses = 20};
    card.DebitLeft = 0;
    card.DebitResetDate = At(2024, 5, 31, 23, 59, 59);
    const auto use = cardaccess::DebitUse(monthly, card, false, At(2024, 6, 2, 9, 0));
    ASSERT_TRUE(use && use->ResetDate);
    EXPECT_EQ(use->DebitLeft, 19);
    EXPECT_EQ(platform::SecondsBetween(*use->ResetDate, At(2024, 6, 30, 23, 59, 59)), 0);

    // The message shows the uses as the decision left them.
    cardaccess::TCardChanges changes;
    changes.DebitLeft = use->DebitLeft;
    cardaccess::ApplyChanges(changes, card);
    EXPECT_EQ(cardaccess::ExpandTemplate("%d left", cardaccess::CardFields(card, monthly), "", kNow), "19 left");
}

TEST(AccessRules, PassbackGroupsAndPathways)
{
    const cardaccess::TCardTypeRow type;
    cardaccess::TCardRow card;
    card.InLot = 1;
    card.TransDate = kNow - 30 * kMinute + 1.0 / 86400;
    EXPECT_FALSE(cardaccess::PassbackAllowed(type, card, TDirection::Entry, 0, kNow)) << "no reset time";
    EXPECT_FALSE(cardaccess::PassbackAllowed(type, card, TDirection::Entry, 30, kNow)) << "29:59 after";
    card.TransDate = kNow - 30 * kMinute;
    EXPECT_TRUE(cardaccess::PassbackAllowed(type, card, TDirection::Entry, 30, kNow));
    EXPECT_TRUE(cardaccess::PassbackAllowed(type, card, TDirection::Exit, 0, kNow)) << "the other way";
    EXPECT_TRUE(cardaccess::PassbackAllowed(type, card, TDirection::None, 0, kNow));

    card.GroupId = 5;
    EXPECT_TRUE(cardaccess::GroupLimited(card, TDirection::Entry));
    EXPECT_FALSE(cardaccess::GroupLimited(card, TDirection::Exit));
    EXPECT_FALSE(cardaccess::GroupHasRoom(cardaccess::TCardPoolRow{.CurInLot = 10, .MaxInLot = 10}));
    EXPECT_TRUE(cardaccess::GroupHasRoom(std::nullopt)) << "an unknown group limits nothing";
    EXPECT_EQ(cardaccess::GroupCountChange(TDirection::Exit, {.CurInLot = 0}), 0) << "never below zero";

    EXPECT_TRUE(cardaccess::PathwayInTime(15, kNow - 15 * kMinute, kNow));
    EXPECT_FALSE(cardaccess::PathwayInTime(15, kNow - 16 * kMinute, kNow));
}

namespace {

// A card that passes every check at an entry on kNow (a Wednesday: day_4).
cardaccess::TCardInputs PassingCard()
{
    cardaccess::TCardInputs in;
    in.Device = cardaccess::TDeviceRow{.Id = 7, .Name = "In", .Direction = TDirection::Entry, .OpenPulse = 3.9, .MsgId = 4};
    in.Settings = cardaccess::TSettingsRow{};
    cardaccess::TCardRow card;
    card.Number = 1001;
    card.NumberText = "1001";
    card.TypeId = 2;
    card.InLot = 2;
    card.InGate = -1;
    card.FirstName = "Ann";
    in.Card = card;
    cardaccess::TCardTypeRow type;
    type.Id = 2;
    type.AccessLevelId = 5;
    type.NoExpiry = true;
    in.CardType = type;
    cardaccess::TRangeRow range{.AccessLevel = 5, .DeviceId = 7, .Days = {}, .Range = {Time(0, 0), Time(0, 0)}};
    range.Days[3] = true;
    in.Ranges = {range};
    for (const int id : {1, 4, 6})
        in.Messages[id].Texts[0] = "row " + std::to_string(id);
    return in;
}

} // namespace

// The checks run in their order and the first that fails decides; a soft
// setting lets the card through on that one.
TEST(CardDecision, TheFirstCheckThatFailsDecides)
{
    using namespace cardaccess;
    struct TCase {
        const char* what;
        std::function<void(TCardInputs&)> change;
        int result;
    };
    const auto fullPool = [](TCardInputs& in) {
        in.Card->GroupId = 3;
        in.Pool = TCardPoolRow{.CurInLot = 4, .MaxInLot = 4};
    };
    const auto offPath = [](TCardInputs& in) {
        in.CardType->PathwayId = 8;
        in.Card->InGate = 5;  // no step from device 5 to 7 was loaded
    };
    const auto inAlready = [](TCardInputs& in) { in.Card->InLot = 1; };
    const TCase cases[] = {
        {"all pass", [](TCardInputs&) {}, arAccepted},
        {"no card", [](TCardInputs& in) { in.Card.reset(); in.CardType.reset(); }, arNotOnFile},
        {"no type", [](TCardInputs& in) { in.CardType.reset(); }, arNoAccess},
        {"closed today, also inactive and in already",
         [&](TCardInputs& in) { in.Ranges[0].Days = {}; in.CardType->NoExpiry = false; inAlready(in); }, arNoAccess},
        {"on a holiday of table 2 only day_9 counts", [](TCardInputs& in) { in.HolidayTable = 2; }, arNoAccess},
        {"inactive before the full pool", [&](TCardInputs& in) { in.CardType->NoExpiry = false; fullPool(in); }, arInactive},
        {"full pool before the pathway", [&](TCardInputs& in) { fullPool(in); offPath(in); }, arGroupMax},
        {"full pool at an exit lets out",
         [&](TCardInputs& in) { fullPool(in); in.Device->Direction = TDirection::Exit; in.Card->InLot = 1; }, arAccepted},
        {"pathway before passback", [&](TCardInputs& in) { offPath(in); inAlready(in); }, arNotInPath},
        {"passback", inAlready, arPassback},
        {"a soft pool lets through, unasked about the pathway",
         [&](TCardInputs& in) { fullPool(in); offPath(in); in.Settings->SoftGroup = true; }, arGroupMax | kSoftBit},
        {"soft passback", [&](TCardInputs& in) { inAlready(in); in.Settings->SoftPassback = true; }, arPassback | kSoftBit},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TCardInputs in = PassingCard();
        c.change(in);
        EXPECT_EQ(DecideCard(in, {.Number = 1001, .T = kNow, .DebitExpiry = false, .DetailedLog = true}).Result, c.result);
    }
}

// What an accepted card writes, and the row its text comes from.
TEST(CardDecision, AnAcceptedCardsWritesAndTextRowAreData)
{
    using namespace cardaccess;
    TCardInputs in = PassingCard();
    in.Card->GroupId = 3;
    in.Pool = TCardPoolRow{.CurInLot = 1, .MaxInLot = 4};
    const TCardQuestion q{.Number = 1001, .T = kNow, .DebitExpiry = false, .DetailedLog = false};
    TCardDecision d = DecideCard(in, q);
    EXPECT_EQ(d.Result, arAccepted);
    EXPECT_EQ(d.CardChanges.InLot, 1);
    EXPECT_EQ(d.CardChanges.TransDate, kNow);
    EXPECT_EQ(d.PoolChange, 1);
    EXPECT_EQ(d.Outputs.Card->InLot, 1) << "the card as the writes leave it";
    EXPECT_EQ(d.Outputs.OpenPulse, 3);
    EXPECT_EQ(d.Outputs.Messages->Texts[0], "row 4") << "the device's row: the type names none";
    EXPECT_EQ(d.Lines, std::vector<std::string>{"Table: card"}) << "without the detailed log";

    in.CardType->MsgId = 6;
    EXPECT_EQ(DecideCard(in, q).Outputs.Messages->Texts[0], "row 6") << "the type's row first";
    in.CardType->MsgId = 9;
    EXPECT_EQ(DecideCard(in, q).Outputs.Messages->Texts[0], "row 1") << "a missing row: the first";
    in.Card.reset();
    const TCardDecision refused = DecideCard(in, q);
    EXPECT_TRUE(refused.CardChanges.Empty());
    EXPECT_EQ(refused.PoolChange, 0);
}
