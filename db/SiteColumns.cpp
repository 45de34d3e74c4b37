#include "db/SiteColumns.hpp"

#include "db/Journal.hpp"
#include "platform/RegistryFile.hpp"

namespace db {
namespace {

using enum TColumnType;
constexpr TColumnUse kOptional = TColumnUse::Optional;
constexpr TColumnUse kAdded = TColumnUse::AddedAtStartUp;

constexpr TSiteColumn kLoop[] = {
    {"id", Integer}, {"name", Text}, {"port", Integer}, {"enabled", Flag}, {"rfmodem", Flag}, {"lastupdate", DateTime},
};

constexpr TSiteColumn kSettings[] = {
    {"reset_dadid", Flag}, {"AUTO_RESET", Flag}, {"AUTO_RESET_GROUP", Flag}, {"AUTO_RESET_PATHWAY", Flag},
    {"reset_time", Time}, {"AUTO_NOW", Flag}, {"AUTO_NOW_GRP", Flag}, {"soft_pb", Flag},
    {"soft_group", Flag}, {"soft_path", Flag}, {"stup_pbrst", Integer},
};

constexpr TSiteColumn kLot[] = {
    {"id", Integer},
    {"name", Text, kOptional, "lots are shown as \"Lot <id>\""},
    {"lot_count", Integer},
    {"max_capacity", Integer},
    {"AUTO_R_COUNT", Flag},
    {"auto_r_time", Time},
    {"reset_amt", Integer},
    {"cnt_reset_flag", Flag},
    {"cnt_reset_time", Time},
    {"cnt_reset_amt", Integer},
};

// The schema upgrade adds the last eleven, in this order.
constexpr TSiteColumn kDevice[] = {
    {"id", Integer},
    {"loop_id", Integer},
    {"lot_id", Integer},
    {"addr_ess", Integer},
    {"name", Text},
    {"dir_ection", Integer},
    {"msg_id", Integer},
    {"open_pulse", Float},
    {"no_path", Flag},
    {"debit_flag", Flag},
    {"perm_open", Flag},
    {"open_flag", Flag},
    {"online_flag", Integer},
    {"count1", Integer},
    {"count2", Integer},
    {"count3", Integer},
    {"count4", Integer},
    {"count5", Integer},
    {"count_soft", Integer},
    {"lf_enabled", Integer},
    {"lf_output", Integer},
    {"lf_output_flag", Flag},
    {"lf_sign", Integer},
    {"lf_sign_flag", Flag},
    {"door_input", Integer},
    {"ajar_timer", Integer},
    {"ajar_output", Integer},
    {"door_ajar", Integer},
    {"alarm_ack", Integer},
    {"fire_input", Integer},
    {"fire_flag", Flag},
    {"remote_user", Text},
    {"remote_ip", Text},
    {"gate_up", Integer, kAdded},
    {"ptr_paper", Integer, kAdded},
    {"ptr_hdwr", Integer, kAdded},
    {"ptr_fail", Integer, kAdded},
    {"ptr_stat", Integer, kAdded},
    {"ptr_paper2", Integer, kAdded},
    {"ptr_hdwr2", Integer, kAdded},
    {"ptr_fail2", Integer, kAdded},
    {"ptr_stat2", Integer, kAdded},
    {"device_type", Integer, kAdded},
    {"special_out", Integer, kAdded},
};

constexpr TSiteColumn kMessages[] = {
    {"id", Integer}, {"idle", Text}, {"gateup", Text}, {"accepted", Text}, {"not_on_file", Text},
    {"access", Text}, {"inac_tive", Text}, {"passback", Text}, {"max_group", Text}, {"not_on_path", Text},
};

constexpr TSiteColumn kSpots[] = {{"number", Integer}, {"floor", Integer}};

constexpr TSiteColumn kTickinv[] = {
    {"barcode", Text}, {"ticket", Integer}, {"issuerid", Integer}, {"status", Integer},
    {"in_date", DateTime}, {"out_date", DateTime}, {"l_date", DateTime}, {"security", Integer},
    {"takerid", Integer, kAdded}, {"online", Integer, kAdded}, {"tran_id", Integer, kAdded},
};

constexpr TSiteColumn kTrans[] = {
    {"card_no", Float}, {"dat_e", DateTime}, {"device_id", Integer}, {"error_code", Integer},
    {"error_desc", Text}, {"cardno", Float}, {"device_name", Text}, {"first_name", Text},
    {"last_name", Text}, {"mem_flag", Flag},
};

constexpr TSiteColumn kCardType[] = {
    {"id", Integer}, {"access_level_id", Integer}, {"msg_id", Integer}, {"days", Integer},
    {"global_expiry", Flag}, {"first_use_flg", Flag}, {"no_expiry_flg", Flag}, {"date_set", Flag},
    {"start_dt", DateTime}, {"exp_iry", DateTime}, {"prev_strt", DateTime}, {"prev_exp", DateTime},
    {"debit_flg", Flag}, {"debit_reset_flag", Flag}, {"uses", Integer}, {"debit_time_limit", Integer},
    {"debit_time_limit_flg", Flag}, {"pathway_id", Integer}, {"ignore_passback", Flag},
};

constexpr TSiteColumn kCard[] = {
    {"number", Float}, {"type_id", Integer}, {"first_name", Text}, {"last_name", Text},
    {"str_eet", Text}, {"misc_1", Text}, {"misc_2", Text}, {"misc_3", Text},
    {"misc_4", Text}, {"space_no", Integer}, {"date_set", Flag}, {"start_dt", DateTime},
    {"exp_iry", DateTime}, {"prev_strt", DateTime}, {"prev_exp", DateTime}, {"debit_left", Integer},
    {"debit_date", DateTime}, {"debit_reset_date", DateTime}, {"group_id", Integer}, {"in_gate", Integer},
    {"in_lot", Integer}, {"trans_dt", DateTime},
};

constexpr TSiteColumn kHoliday[] = {{"holi_day", Date}, {"tab_num", Integer}};

constexpr TSiteColumn kALRange[] = {
    {"id", Integer}, {"access_level_id", Integer}, {"day_1", Flag}, {"day_2", Flag}, {"day_3", Flag},
    {"day_4", Flag}, {"day_5", Flag}, {"day_6", Flag}, {"day_7", Flag}, {"day_8", Flag},
    {"day_9", Flag}, {"start_time", Time}, {"end_time", Time},
};

constexpr TSiteColumn kALRangeDevice[] = {{"a_l_range_id", Integer}, {"device_id", Integer}};

constexpr TSiteColumn kCardPool[] = {{"id", Integer}, {"max_inlot", Integer}, {"cur_inlot", Integer}};

constexpr TSiteColumn kPathwayFt[] = {
    {"pathway_id", Integer}, {"from_device", Integer}, {"to_device", Integer}, {"time_limit", Integer},
};

constexpr TSiteColumn kCounters[] = {{"id", Integer}, {"lot_id", Integer}};

constexpr TSiteColumn kCounterItem[] = {
    {"device_id", Integer}, {"input", Integer}, {"cntr_id", Integer}, {"chg_lot", Integer},
};

constexpr TSiteColumn kGateoc[] = {
    {"device_id", Integer}, {"dayofweek", Integer}, {"start_time", Time}, {"end_time", Time},
};

constexpr TSiteColumn kJournal[] = {
    {"computer", Text, kAdded}, {"sequence", BigInteger, kAdded}, {"decided_at", DateTime, kAdded},
    {"applied_at", DateTime, kAdded},
};

constexpr TSiteTable kTables[] = {
    {"loop", kLoop},
    {"settings", kSettings},
    {"lot", kLot},
    {"device", kDevice},
    {"messages", kMessages},
    {"spots", kSpots},
    {"tickinv", kTickinv},
    {"trans", kTrans},
    {"card_type", kCardType},
    {"card", kCard},
    {"holiday", kHoliday},
    {"a_l_range", kALRange},
    {"a_l_range_device", kALRangeDevice},
    {"card_pool", kCardPool},
    {"pathway_ft", kPathwayFt},
    {"counters", kCounters},
    {"counter_item", kCounterItem},
    {"gateoc", kGateoc},
    {kJournalTable, kJournal, true},
};

} // namespace

std::span<const TSiteTable> SiteTables() noexcept
{
    return kTables;
}

const TSiteTable* FindSiteTable(std::string_view name) noexcept
{
    for (const TSiteTable& table : kTables)
        if (platform::EqualsNoCase(table.Name, name))
            return &table;
    return nullptr;
}

} // namespace db
