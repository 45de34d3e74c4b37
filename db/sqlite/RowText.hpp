#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The text a MySQL-family server makes of a row for CRC32(CONCAT_WS(...)),
// rebuilt from the values SQLite holds, so that a range of the offline copy
// and the same range at the site give the same checksum.
namespace rowtext {

// Between the values of a row: a byte that names and addresses do not hold.
inline constexpr char kSeparator = '\x1f';
// Nullable columns per NULL mask: the server's shifts stay within 64 bits.
inline constexpr int kMaskBits = 62;

// CRC-32 as zlib and the server's CRC32() compute it, continued from crc.
std::uint32_t Crc32(std::uint32_t crc, std::string_view bytes) noexcept;

// A double as the server writes it in text: the shortest digits that read back
// as the same double, fixed notation for decimal exponents from -14 to 15,
// else "1.5e20" / "1e-15"; "0" for zero.
void AppendDouble(std::string& out, double value);

} // namespace rowtext
