#include "access/CardDecision.hpp"

#include "config/Format.hpp"

#include <cmath>

namespace cardaccess {
namespace {

// The checks of one card, stopping at the first that fails.
class TChecks {
public:
    TChecks(const TCardInputs& in, const TCardQuestion& q)
        : m_in(in), m_q(q), m_n(config::FloatToStr(q.Number)), m_device(in.Device.value_or(TDeviceRow{})),
          m_settings(in.Settings.value_or(TSettingsRow{}))
    {
    }

    TCheckOutcome Run();

private:
    int Refuse(int code, const std::string& line)
    {
        if (m_q.DetailedLog)
            m_out.Lines.push_back(line);
        return code;
    }
    void Detail(const std::string& line)
    {
        if (m_q.DetailedLog)
            m_out.Lines.push_back(line);
    }
    static int Soft(int code, bool soft) { return code | (soft ? kSoftBit : 0); }
    int Decide();
    bool InTime() const;
    bool Valid();
    bool InPath();

    const TCardInputs& m_in;
    const TCardQuestion& m_q;
    const std::string m_n;
    const TDeviceRow m_device;
    const TSettingsRow m_settings;
    TCheckOutcome m_out;
};

TCheckOutcome TChecks::Run()
{
    m_out.Result = Decide();
    return m_out;
}

int TChecks::Decide()
{
    if (!m_in.Card)
        return Refuse(arNotOnFile, "Card " + m_n + " not on file");
    const TCardRow& card = *m_in.Card;
    if (!m_in.CardType)
        return Refuse(arNoAccess, "Type id " + card.TypeIdText + " is not on file for card " + m_n);
    if (!InTime())
        return Refuse(arNoAccess, "Access level id " + m_in.CardType->AccessLevelText + " access failure for card " + m_n);
    if (!Valid())
        return Refuse(arInactive, "Card " + m_n + " is inactive");
    if (GroupLimited(card, m_device.Direction) && !GroupHasRoom(m_in.Pool))
        return Refuse(Soft(arGroupMax, m_settings.SoftGroup), "Card " + m_n + " is over group maximum");
    if (!InPath())
        return Refuse(Soft(arNotInPath, m_settings.SoftPath), "Card " + m_n + " has a pathway error");
    if (!PassbackAllowed(*m_in.CardType, card, m_device.Direction, m_settings.PassbackResetMinutes, m_q.T))
        return Refuse(Soft(arPassback, m_settings.SoftPassback), "Card " + m_n + " passback error");
    return arAccepted;
}

bool TChecks::InTime() const
{
    const int day = DayColumn(m_in.HolidayTable, m_q.T);
    return InTimeRanges(RangesOn(m_in.Ranges, m_in.CardType->AccessLevelId, m_device.Id, day), m_q.T);
}

bool TChecks::Valid()
{
    const TValidity v = CheckValidity(*m_in.CardType, *m_in.Card, m_q.DebitExpiry, m_q.T);
    m_out.Lines.push_back(v.FromCardType ? "Table: card_type" : "Table: card");
    m_out.FirstUse = v.FirstUse;
    return v.Valid;
}

bool TChecks::InPath()
{
    const TCardRow& card = *m_in.Card;
    const int pathway = m_in.CardType->PathwayId;
    Detail(config::Format("Card#: %s - pathway_id ( > 0) %d  /  in_gate (<> -1) %d  /  no_path (<> 0) %d",
                          card.NumberText, pathway, card.InGate, m_device.NoPath ? 1 : 0));
    if (!PathwayApplies(*m_in.CardType, card, m_device))
        return true;
    if (!m_in.PathwayLimit) {
        Detail(config::Format("Pathway %d does NOT have path for %d to %d!", pathway, card.InGate, m_device.Id));
        return false;
    }
    const bool ok = PathwayInTime(*m_in.PathwayLimit, card.TransDate, m_q.T);
    Detail(config::Format("Pathway Time %s - Minutes: %d, Limit: %d", std::string(ok ? "OK" : "OUT"),
                          static_cast<int>(MinutesBetween(card.TransDate, m_q.T)), *m_in.PathwayLimit));
    return ok;
}

std::optional<TMessagesRow> TextRow(const TCardInputs& in)
{
    const auto row = in.Messages.find(MessagesRowId(in.CardType, in.Device));
    if (row != in.Messages.end())
        return row->second;
    const auto first = in.Messages.find(kFirstMessagesRow);
    return first == in.Messages.end() ? std::nullopt : std::optional<TMessagesRow>(first->second);
}

} // namespace

TCheckOutcome CheckCard(const TCardInputs& in, const TCardQuestion& q)
{
    return TChecks(in, q).Run();
}

void AcceptCard(const TCardInputs& in, const TCardQuestion& q, int result, TCardDecision& d)
{
    const TCardRow& card = *in.Card;
    const TCardTypeRow& type = *in.CardType;
    const TDeviceRow device = in.Device.value_or(TDeviceRow{});
    const TDirection direction = device.Direction;
    bool debited = false;
    if (direction != TDirection::None && type.DebitMode() && device.DebitFlag) {
        if (const auto use = DebitUse(type, card, q.DebitExpiry, q.T)) {
            debited = true;
            d.CardChanges.DebitLeft = use->DebitLeft;
            d.CardChanges.DebitResetDate = use->ResetDate;
        }
    }
    if (direction != TDirection::None)
        d.CardChanges.InLot = static_cast<int>(direction);
    if (!(type.Debit && !type.DebitReset && !debited))
        d.CardChanges.DebitDate = q.T;
    d.CardChanges.TransDate = q.T;
    if (type.PathwayId > 0)
        d.CardChanges.InGate = in.PathwayGoesOn ? device.Id : -1;
    if ((result & ~kSoftBit) != arGroupMax && card.GroupId >= 1 && in.Pool)
        d.PoolChange = GroupCountChange(direction, *in.Pool);
}

TCardDecision DecideCard(const TCardInputs& in, const TCardQuestion& q)
{
    TCardDecision d;
    TCheckOutcome checked = CheckCard(in, q);
    d.Result = checked.Result;
    d.Lines = std::move(checked.Lines);
    // The first use is written whatever the rest of the decision says.
    if (checked.FirstUse && checked.FirstUse->OnCardType)
        d.TypeFirstUse = checked.FirstUse;
    else if (checked.FirstUse)
        d.CardChanges.FirstUse = checked.FirstUse;
    if (IsAccepted(d.Result))
        AcceptCard(in, q, d.Result, d);

    const TDeviceRow device = in.Device.value_or(TDeviceRow{});
    TCardOutputs& out = d.Outputs;
    out.Device = in.Device;
    out.Card = in.Card;
    if (out.Card)
        ApplyChanges(d.CardChanges, *out.Card);
    out.CardType = in.CardType;
    out.Messages = TextRow(in);
    out.TransTime = q.T;
    out.OpenPulse = static_cast<int>(std::trunc(device.OpenPulse));
    out.SpaceNo = device.SpecialOut ? (in.Card ? in.Card->SpaceNo : 0) : -1;
    out.DeviceName = device.Name;
    out.FirstName = in.Card ? in.Card->FirstName : std::string();
    return d;
}

} // namespace cardaccess
