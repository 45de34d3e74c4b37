#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>

namespace line {

struct TCommand {
    int Address = 0;
    std::string Text;  // command letter and payload
};

// 16 slots, at most 15 pending. A command offered while 15 are pending is
// refused rather than written over the others. Not locked: TPoll holds its
// lock around every call.
class TCommandRing {
public:
    static constexpr std::size_t kSlots = 16;

    bool Push(TCommand command);
    std::optional<TCommand> Head() const;
    void PopHead();
    std::size_t Size() const noexcept { return (m_write + kSlots - m_read) % kSlots; }
    bool Empty() const noexcept { return m_read == m_write; }

private:
    std::array<TCommand, kSlots> m_slots;
    std::size_t m_read = 0;
    std::size_t m_write = 0;
};

} // namespace line
