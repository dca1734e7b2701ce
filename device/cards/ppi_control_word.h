#pragma once

#include <cstdint>

namespace velmora {

// An 8255 control word as ConfigurePorts carries it. Only the low byte reaches the chip's
// control register. With bit 7 set it is a mode set: group A's mode in bits 6-5, group B's in
// bit 2, and one direction bit per port group; with bit 7 clear it sets or resets one bit of
// port C.
class PpiControlWord final {
public:
    enum class Group { PortA, PortB, PortCUpper, PortCLower };

    explicit constexpr PpiControlWord(std::int16_t word)
        : m_bits(static_cast<std::uint8_t>(static_cast<std::uint16_t>(word) & 0xFFu))
    {}

    constexpr bool isModeSet() const { return (m_bits & 0x80u) != 0; }
    // Strobed (mode 1) and bidirectional (mode 2) operation are not supported by any card here.
    constexpr bool isMode0() const { return isModeSet() && (m_bits & 0x64u) == 0; }
    constexpr bool isInput(Group group) const { return (m_bits & inputBit(group)) != 0; }
    constexpr bool allInputs() const
    {
        return isMode0() && isInput(Group::PortA) && isInput(Group::PortB) &&
               isInput(Group::PortCUpper) && isInput(Group::PortCLower);
    }

    // Bit set/reset: which bit of port C, and its new level.
    constexpr unsigned portCBit() const { return (m_bits >> 1) & 0x07u; }
    constexpr bool portCLevel() const { return (m_bits & 0x01u) != 0; }

private:
    static constexpr unsigned inputBit(Group group)
    {
        switch (group) {
        case Group::PortA:
            return 0x10;
        case Group::PortB:
            return 0x02;
        case Group::PortCUpper:
            return 0x08;
        case Group::PortCLower:
            return 0x01;
        }
        return 0;
    }

    std::uint8_t m_bits;
};

static_assert(PpiControlWord(0x9B).allInputs());
static_assert(!PpiControlWord(0x80).isInput(PpiControlWord::Group::PortA));
static_assert(!PpiControlWord(0xBB).isMode0());

} // namespace velmora
