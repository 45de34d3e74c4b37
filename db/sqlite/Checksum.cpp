#include "db/sqlite/Checksum.hpp"

#include "db/sqlite/RowText.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

SQLITE_EXTENSION_INIT3

namespace {

std::string_view TextOf(sqlite3_value* v)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(v));
    return text ? std::string_view(text, static_cast<std::size_t>(sqlite3_value_bytes(v))) : std::string_view();
}

void AppendValue(std::string& out, sqlite3_value* v)
{
    switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER: {
        char digits[24];
        const auto r = std::to_chars(digits, digits + sizeof digits, sqlite3_value_int64(v));
        out.append(digits, r.ptr);
        break;
    }
    case SQLITE_FLOAT:
        rowtext::AppendDouble(out, sqlite3_value_double(v));
        break;
    case SQLITE_BLOB: {
        const auto* bytes = static_cast<const char*>(sqlite3_value_blob(v));
        out.append(bytes ? bytes : "", static_cast<std::size_t>(sqlite3_value_bytes(v)));
        break;
    }
    default:
        out += TextOf(v);
    }
}

// CONCAT_WS(X'1F', values..., masks...): NULL values are left out, as the
// server does; the masks, a bit per nullable column, tell which ones were NULL.
std::uint32_t RowChecksum(std::string& row, int count, sqlite3_value** values, std::string_view nullable)
{
    row.clear();
    bool first = true;
    const auto next = [&] {
        if (!first)
            row += rowtext::kSeparator;
        first = false;
    };
    std::vector<unsigned long long> masks;
    unsigned long long mask = 0;
    int bit = 0;
    for (int i = 0; i < count; ++i) {
        const bool isNull = sqlite3_value_type(values[i]) == SQLITE_NULL;
        if (static_cast<std::size_t>(i) < nullable.size() && nullable[static_cast<std::size_t>(i)] == '1') {
            if (isNull)
                mask |= 1ULL << bit;
            if (++bit == rowtext::kMaskBits) {
                masks.push_back(mask);
                mask = 0;
                bit = 0;
            }
        }
        if (isNull)
            continue;
        next();
        AppendValue(row, values[i]);
    }
    if (bit > 0)
        masks.push_back(mask);
    for (const unsigned long long m : masks) {
        next();
        row += std::to_string(m);
    }
    return rowtext::Crc32(0, row);
}

std::vector<double> ParseBounds(std::string_view text)
{
    std::vector<double> bounds;
    const std::string copy(text);
    const char* p = copy.c_str();
    while (*p) {
        char* end = nullptr;
        const double v = std::strtod(p, &end);
        if (end == p)
            break;
        bounds.push_back(v);
        p = *end == ',' ? end + 1 : end;
    }
    return bounds;
}

struct TSums {
    long long Rows = 0;
    unsigned long long Checksum = 0;
};

struct TRangeState {
    std::vector<double> Bounds;
    std::string Nullable;
    std::vector<TSums> Ranges;  // bounds + 1 ranges
    TSums NullKey;
    std::string Row;
};

// The state of one aggregate, made at its first row; sqlite3 hands the slot back
// zeroed, and calls the final step (which frees it) whenever a step ran.
template <typename T>
T* StateOf(sqlite3_context* ctx, bool make)
{
    auto** slot = static_cast<T**>(sqlite3_aggregate_context(ctx, make ? sizeof(T*) : 0));
    if (!slot)
        return nullptr;
    if (!*slot && make)
        *slot = new (std::nothrow) T();
    return *slot;
}

void RangesStep(sqlite3_context* ctx, int argc, sqlite3_value** argv)
{
    if (argc < 3)
        return sqlite3_result_error(ctx, "velix_ranges: key, bounds, nullable columns and values", -1);
    auto* s = StateOf<TRangeState>(ctx, true);
    if (!s)
        return sqlite3_result_error_nomem(ctx);
    try {
        if (s->Ranges.empty()) {
            s->Bounds = ParseBounds(TextOf(argv[1]));
            s->Nullable = std::string(TextOf(argv[2]));
            s->Ranges.resize(s->Bounds.size() + 1);
        }
        const std::uint32_t crc = RowChecksum(s->Row, argc - 3, argv + 3, s->Nullable);
        TSums* sums = &s->NullKey;
        if (sqlite3_value_type(argv[0]) != SQLITE_NULL) {
            const double key = sqlite3_value_double(argv[0]);
            sums = &s->Ranges[static_cast<std::size_t>(
                std::upper_bound(s->Bounds.begin(), s->Bounds.end(), key) - s->Bounds.begin())];
        }
        ++sums->Rows;
        sums->Checksum += crc;
    } catch (...) {
        sqlite3_result_error_nomem(ctx);
    }
}

void RangesFinal(sqlite3_context* ctx)
{
    TRangeState* s = StateOf<TRangeState>(ctx, false);
    std::string out;
    try {
        char line[64];
        if (s && s->NullKey.Rows > 0) {
            const int n = std::snprintf(line, sizeof line, "-1 %lld %llu\n", s->NullKey.Rows, s->NullKey.Checksum);
            out.append(line, static_cast<std::size_t>(n));
        }
        for (std::size_t i = 0; s && i < s->Ranges.size(); ++i) {
            if (s->Ranges[i].Rows == 0)
                continue;
            const int n = std::snprintf(line, sizeof line, "%zu %lld %llu\n", i, s->Ranges[i].Rows, s->Ranges[i].Checksum);
            out.append(line, static_cast<std::size_t>(n));
        }
        sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
    } catch (...) {
        sqlite3_result_error_nomem(ctx);
    }
    delete s;
}

struct TBoundsState {
    std::vector<double> Keys;
    long long Rows = 0;
};

void BoundsStep(sqlite3_context* ctx, int, sqlite3_value** argv)
{
    auto* s = StateOf<TBoundsState>(ctx, true);
    if (!s)
        return sqlite3_result_error_nomem(ctx);
    try {
        s->Rows = sqlite3_value_int64(argv[1]);
        if (sqlite3_value_type(argv[0]) != SQLITE_NULL)
            s->Keys.push_back(sqlite3_value_double(argv[0]));
    } catch (...) {
        sqlite3_result_error_nomem(ctx);
    }
}

void BoundsFinal(sqlite3_context* ctx)
{
    TBoundsState* s = StateOf<TBoundsState>(ctx, false);
    std::string out;
    try {
        if (s && s->Rows > 0) {
            std::sort(s->Keys.begin(), s->Keys.end());
            const auto step = static_cast<std::size_t>(s->Rows);
            double last = 0;
            bool any = false;
            for (std::size_t i = step; i < s->Keys.size(); i += step) {
                // A bound repeated (more than rows keys alike) would make an empty range.
                if (s->Keys[i] == s->Keys.front() || (any && s->Keys[i] <= last))
                    continue;
                char text[40];
                const int n = std::snprintf(text, sizeof text, "%s%.17g", any ? "," : "", s->Keys[i]);
                out.append(text, static_cast<std::size_t>(n));
                last = s->Keys[i];
                any = true;
            }
        }
        sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
    } catch (...) {
        sqlite3_result_error_nomem(ctx);
    }
    delete s;
}

} // namespace

int RegisterChecksumFunctions(sqlite3* db)
{
    constexpr int kFlags = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
    int rc = sqlite3_create_function(db, "velix_ranges", -1, kFlags, nullptr, nullptr, RangesStep, RangesFinal);
    if (rc == SQLITE_OK)
        rc = sqlite3_create_function(db, "velix_bounds", 2, kFlags, nullptr, nullptr, BoundsStep, BoundsFinal);
    return rc;
}
