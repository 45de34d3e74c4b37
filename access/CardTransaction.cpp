#include "access/CardCheck.hpp"

#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "db/Sql.hpp"
#include "db/Transaction.hpp"

#include <cmath>

namespace cardaccess {
namespace {

// A fixed-position number of a memory record; 0 when missing or not a number.
int Field(const std::string& data, std::size_t from, std::size_t length)
{
    return data.size() < from ? 0 : config::TextToInt(std::string_view(data).substr(from - 1, length));
}

} // namespace

std::optional<platform::TDateTime> MemoryRecordTime(const std::string& data, platform::TDateTime now)
{
    const int year = 2000 + Field(data, 1, 2);
    const int month = Field(data, 3, 2);
    const int day = Field(data, 5, 2);
    if (!platform::IsValidDate(year, month, day))
        return std::nullopt;
    const int hhmm = Field(data, 7, 4);
    platform::TDateTime t = platform::EncodeDate(year, month, day) + ((hhmm % 100) + (hhmm / 100) * 60) / 1440.0;
    if (now + 5.0 / 1440.0 < t)
        t -= 1;
    return t;
}

std::string AccessResultText(int result)
{
    switch (result & ~kSoftBit) {
    case arAccepted: return "Accepted";
    case arNotOnFile: return "Not On File";
    case arNoAccess: return "No Valid Access Found";
    case arInactive: return "Expired, or not valid yet";
    case arPassback: return "Passback Error";
    case arGroupMax: return "Group Max. Exceeded";
    case arNotInPath: return "Not in Path";
    default: return "Unknown error!";
    }
}

TCardFields CardFields(db::TODBCStatement& card, db::TODBCStatement& cardType)
{
    TCardFields f;
    for (std::size_t i = 0; i < f.Misc.size(); ++i)
        f.Misc[i] = card.AsString("misc_" + std::to_string(i + 1));
    f.Number = card.AsString("number");
    f.FirstName = card.AsString("first_name");
    f.LastName = card.AsString("last_name");
    f.Street = card.AsString("str_eet");
    f.DebitMode = cardType.AsBool("debit_flg") || cardType.AsBool("debit_reset_flag");
    f.DebitLeft = card.AsString("debit_left");
    f.Expiry = card.AsDateTime("exp_iry");
    return f;
}

std::string ExpandTemplate(std::string_view templ, const TCardFields& card, const std::string& cardText,
                           platform::TDateTime today)
{
    std::string out;
    for (std::size_t i = 0; i < templ.size(); ++i) {
        if (templ[i] != '%') {
            out += templ[i];
            continue;
        }
        if (++i >= templ.size())
            break;
        switch (templ[i]) {
        case '1':
        case '2':
        case '3':
        case '4': out += card.Misc[static_cast<std::size_t>(templ[i] - '1')]; break;
        case 'c': out += cardText.empty() ? card.Number : cardText; break;
        case 'd':
            if (card.DebitMode)
                out += card.DebitLeft;
            else
                out += std::to_string(static_cast<long long>(std::trunc(card.Expiry - std::floor(today))));
            break;
        case 'f': out += card.FirstName; break;
        case 'l': out += card.LastName; break;
        case 's': out += card.Street; break;
        default: break;
        }
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

std::string ExpandMessageText(const std::string& templ, db::TODBCStatement& card, db::TODBCStatement& cardType,
                              const std::string& cardText, platform::TDateTime today)
{
    return ExpandTemplate(templ, CardFields(card, cardType), cardText, today);
}

int CardTransaction(bool detailedLog, config::TMessLog& log, db::TODBC& database, bool debitExpiry,
                    const std::string& deviceData, bool memory, double cardNumber, int address, int loopId,
                    TCardOutputs& out, platform::TDateTime now)
{
    platform::TDateTime t = now;
    if (memory) {
        const auto recorded = MemoryRecordTime(deviceData, now);
        if (!recorded) {
            // Dropped as before, but traceable: the record is lost from the reader's memory.
            log.Log("Memory record with an invalid date rejected: " + deviceData);
            return kRejectedRecord;
        }
        t = *recorded;
    }
    out.TransTime = t;
    const db::TTransaction decision(database);
    const std::string n = config::FloatToStr(cardNumber);
    db::TODBCStatement device(database), settings(database), card(database), cardType(database);
    device.ExecFmt("SELECT * FROM device WHERE loop_id = %d and addr_ess = %d", loopId, address);
    settings.Exec("SELECT * FROM settings");
    const int passbackReset = settings.AsInteger("stup_pbrst");

    int result = arAccepted;
    auto refuse = [&](int code, const std::string& line) {
        result = code;
        if (detailedLog)
            log.Add(line);
    };
    if (!FindCard(card, cardNumber))
        refuse(arNotOnFile, "Card " + n + " not on file");
    else if (!FindCardType(card, cardType))
        refuse(arNoAccess, "Type id " + card.AsString("type_id") + " is not on file for card " + n);
    else if (!CheckTimeRanges(log, database, cardType.AsInteger("access_level_id"), t, device.AsInteger("id")))
        refuse(arNoAccess,
               "Access level id " + cardType.AsString("access_level_id") + " access failure for card " + n);
    else if (!CheckValidity(log, database, debitExpiry, t, cardType, card))
        refuse(arInactive, "Card " + n + " is inactive");
    else if (!CheckGroupMax(database, card, device))
        refuse(arGroupMax | (settings.AsBool("soft_group") ? kSoftBit : 0), "Card " + n + " is over group maximum");
    else if (!CheckPathway(database, card, device, log, detailedLog, cardType, t))
        refuse(arNotInPath | (settings.AsBool("soft_path") ? kSoftBit : 0), "Card " + n + " has a pathway error");
    else if (!CheckPassback(card, cardType, device, passbackReset, t))
        refuse(arPassback | (settings.AsBool("soft_pb") ? kSoftBit : 0), "Card " + n + " passback error");

    if (IsAccepted(result)) {
        const int direction = device.AsInteger("dir_ection");
        const bool debitMode = cardType.AsBool("debit_flg") || cardType.AsBool("debit_reset_flag");
        bool debited = false;
        if (direction != 3 && debitMode && device.AsBool("debit_flag"))
            debited = DebitCard(database, card, cardType, debitExpiry, t);
        db::TODBCStatement update(database);
        if (direction != 3)
            update.ExecFmt("UPDATE card SET in_lot = %d WHERE number = %f", direction, cardNumber);
        const std::string where = config::Format("WHERE number = %f", cardNumber);
        if (!(cardType.AsBool("debit_flg") && !cardType.AsBool("debit_reset_flag") && !debited)) {
            db::TSql sql(database.Kind());
            sql.AddDateTime("debit_date", t);
            update.Exec(sql.BuildUpdate("UPDATE card", where));
        }
        db::TSql last(database.Kind());
        last.AddDateTime("trans_dt", t);
        update.Exec(last.BuildUpdate("UPDATE card", where));
        UpdateInGate(database, card, device, cardType);
        if ((result & ~kSoftBit) != arGroupMax)
            UpdateGroupCount(database, card, device);
    }

    out.OpenPulse = static_cast<int>(std::trunc(device.AsFloat("open_pulse")));
    out.SpaceNo = device.AsBool("special_out") ? card.AsInteger("space_no") : -1;
    out.DeviceName = device.AsString("name");
    out.FirstName = card.AsString("first_name");

    // Text is escaped by the rule of the connected database: the MySQL rule
    // would double every backslash in a name stored elsewhere.
    db::TSql row(database.Kind());
    row.AddFloat("card_no", cardNumber);
    row.AddDateTime("dat_e", t);
    row.AddInt("device_id", device.AsInteger("id"));
    row.AddInt("error_code", result);
    row.AddField("error_desc", AccessResultText(result), true);
    row.AddFloat("cardno", cardNumber);
    row.AddField("device_name", out.DeviceName, true);
    row.AddField("first_name", out.FirstName, true);
    row.AddField("last_name", card.AsString("last_name"), true);
    row.AddBool("mem_flag", memory);
    db::TODBCStatement insert(database);
    insert.Exec(row.BuildInsert("INSERT INTO trans", "Values", ""));
    return result;
}

} // namespace cardaccess
