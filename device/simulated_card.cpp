#include "simulated_card.h"

#include "automation_error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace velmora {

namespace {

constexpr std::int32_t OnlyChip = 0;

// 8255 control word: bit 7 set is a mode set; clear, it sets or resets one bit of port C.
constexpr unsigned ModeSetFlag = 0x80;
constexpr unsigned ModeBits = 0x64; // group A mode (bits 6, 5) and group B mode (bit 2)
constexpr unsigned PortAInput = 0x10;
constexpr unsigned PortCUpperInput = 0x08;
constexpr unsigned PortBInput = 0x02;
constexpr unsigned PortCLowerInput = 0x01;

DispatchOutcome booleanResult(bool b)
{
    return DispatchOutcome::success(AutomationValue::boolean(b));
}

} // namespace

SimulatedCard::SimulatedCard(SimStateFile stateFile, Clock clock)
    : m_state(std::move(stateFile))
    , m_clock(std::move(clock))
{}

CardInfo SimulatedCard::info() const
{
    return {"Simulated card", "simulated 8255", "built in"};
}

DispatchStatus SimulatedCard::open()
{
    SimState state;
    if (auto failed = loadState(state))
        return failed->status;
    return DispatchStatus::success();
}

SimulatedCard::~SimulatedCard()
{
    if (m_traceFd >= 0)
        ::close(m_traceFd);
}

std::optional<DispatchOutcome> SimulatedCard::loadState(SimState &state)
{
    try {
        state = m_state.current();
        return std::nullopt;
    } catch (const SimStateError &e) {
        return DispatchOutcome::failure(error_code::DeviceIoError,
                                        std::string("Simulated card: ") + e.what());
    }
}

std::optional<DispatchOutcome> SimulatedCard::injectedFault(const SimState &state, SimOperation op,
                                                            const std::string &what) const
{
    switch (state.fault(op)) {
    case SimFaultMode::None:
        return std::nullopt;
    case SimFaultMode::False:
        return booleanResult(false);
    case SimFaultMode::Error:
        return DispatchOutcome::failure(error_code::DeviceIoError,
                                        "Simulated card: simulated failure of " + what +
                                            " (set by 'velmora-sim fault " +
                                            std::string(toString(op)) + " error')");
    case SimFaultMode::NoBool:
        // A result with no Boolean reading, as a misbehaving control might return.
        return DispatchOutcome::success(AutomationValue::string("simulated result"));
    }
    return std::nullopt;
}

std::optional<DispatchOutcome> SimulatedCard::answerSelect()
{
    SimState state;
    if (auto failed = loadState(state))
        return failed;
    return injectedFault(state, SimOperation::Select, "SelectDevice");
}

DispatchOutcome SimulatedCard::configurePorts(std::int32_t chip, std::int16_t controlWord)
{
    SimState state;
    if (auto failed = loadState(state))
        return std::move(*failed);
    if (auto fault = injectedFault(state, SimOperation::Configure, "ConfigurePorts"))
        return std::move(*fault);

    if (chip != OnlyChip)
        return booleanResult(false);
    const auto word = static_cast<unsigned>(static_cast<std::uint16_t>(controlWord)) & 0xFFu;
    if ((word & ModeSetFlag) == 0) {
        // Bit set/reset: bits 3..1 pick the port C bit, bit 0 is its new level.
        const unsigned bit = (word >> 1) & 0x07u;
        if (word & 0x01u)
            m_outputLatch[2] = static_cast<std::uint8_t>(m_outputLatch[2] | (1u << bit));
        else
            m_outputLatch[2] = static_cast<std::uint8_t>(m_outputLatch[2] & ~(1u << bit));
        return booleanResult(true);
    }
    if (word & ModeBits)
        return booleanResult(false); // strobed and bidirectional modes are not simulated
    m_isInput[PortA] = (word & PortAInput) != 0;
    m_isInput[PortB] = (word & PortBInput) != 0;
    m_isInput[PortCUpper] = (word & PortCUpperInput) != 0;
    m_isInput[PortCLower] = (word & PortCLowerInput) != 0;
    // A mode set clears every output latch, as on the real chip.
    m_outputLatch = {};
    return booleanResult(true);
}

std::uint16_t SimulatedCard::portValue(std::size_t port, std::uint16_t inputs) const
{
    const std::uint8_t latch = m_outputLatch[port];
    switch (port) {
    case 0:
        return m_isInput[PortA] ? inputs : latch;
    case 1:
        return m_isInput[PortB] ? inputs : latch;
    default: {
        // Port C's halves have their own directions. The register's high byte only travels
        // while every line of the port is an input; an output port delivers its latch alone.
        if (m_isInput[PortCUpper] && m_isInput[PortCLower])
            return inputs;
        const unsigned upper = m_isInput[PortCUpper] ? inputs & 0xF0u : latch & 0xF0u;
        const unsigned lower = m_isInput[PortCLower] ? inputs & 0x0Fu : latch & 0x0Fu;
        return static_cast<std::uint16_t>(upper | lower);
    }
    }
}

DispatchOutcome SimulatedCard::readPort(std::int32_t port, std::int16_t &value)
{
    SimState state;
    if (auto failed = loadState(state))
        return std::move(*failed);
    if (port == 0 || port == 1) {
        const auto op = port == 0 ? SimOperation::Read0 : SimOperation::Read1;
        if (auto fault = injectedFault(state, op, "ReadPort on port " + std::to_string(port)))
            return std::move(*fault);
    }
    if (port < 0 || port >= static_cast<std::int32_t>(SimPortCount))
        return booleanResult(false);

    const auto p = static_cast<std::size_t>(port);
    const std::uint16_t inputs = state.portValuesAt(m_clock())[p];
    value = static_cast<std::int16_t>(portValue(p, inputs));
    if (auto failed = trace(state.trace, port, value))
        return std::move(*failed);
    return booleanResult(true);
}

std::optional<DispatchOutcome> SimulatedCard::trace(const std::string &path, std::int32_t port,
                                                    std::int16_t delivered)
{
    if (path != m_tracePath) {
        if (m_traceFd >= 0)
            ::close(m_traceFd);
        m_traceFd = -1;
        m_tracePath = path;
        if (!path.empty()) {
            // Kept open while the trace runs, so tracing costs one write per read.
            m_traceFd =
                ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (m_traceFd < 0) {
                const int error = errno;
                m_tracePath.clear();
                return DispatchOutcome::failure(error_code::DeviceIoError,
                                                "Simulated card: cannot open the trace file " +
                                                    path + ": " + std::strerror(error));
            }
        }
    }
    if (m_traceFd < 0)
        return std::nullopt;

    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    char line[64];
    // Monotonic nanoseconds, port, value delivered.
    const int length = std::snprintf(
        line, sizeof line, "%lld %d %d\n",
        static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec, port, int{delivered});
    if (::write(m_traceFd, line, static_cast<std::size_t>(length)) != length) {
        const int error = errno;
        return DispatchOutcome::failure(error_code::DeviceIoError,
                                        "Simulated card: cannot write the trace file " + path +
                                            ": " + std::strerror(error));
    }
    return std::nullopt;
}

} // namespace velmora
