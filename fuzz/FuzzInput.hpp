#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace fuzz {

inline std::string_view Text(const std::uint8_t* data, std::size_t size)
{
    return {reinterpret_cast<const char*>(data), size};
}

// A property the code promises; a violation is a finding like a crash.
inline void Require(bool holds)
{
    if (!holds)
        std::abort();
}

} // namespace fuzz
