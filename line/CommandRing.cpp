#include "line/CommandRing.hpp"

namespace line {

bool TCommandRing::Push(TCommand command)
{
    const std::size_t next = (m_write + 1) % kSlots;
    if (next == m_read)
        return false;
    m_slots[m_write] = std::move(command);
    m_write = next;
    return true;
}

std::optional<TCommand> TCommandRing::Head() const
{
    if (Empty())
        return std::nullopt;
    return m_slots[m_read];
}

void TCommandRing::PopHead()
{
    if (!Empty())
        m_read = (m_read + 1) % kSlots;
}

} // namespace line
