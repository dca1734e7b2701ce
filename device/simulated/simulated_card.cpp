#include "simulated/simulated_card.h"

#include "automation/automation_error.h"
#include "cards/ppi_control_word.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace velmora {

namespace {

constexpr std::int32_t OnlyChip = 0;

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
    const SimState *state = nullptr;
    if (auto failed = loadState(state))
        return failed->status;
    return DispatchStatus::success();
}

SimulatedCard::~SimulatedCard() = default;

std::optional<DispatchOutcome> SimulatedCard::loadState(const SimState *&state)
{
    try {
        state = &m_state.current();
        return std::nullopt;
    } catch (const SimStateError &e) {
        return DispatchOutcome::failure(error_code::DeviceIoError,
                                        std::string("Simulated card: ") + e.what());
    }
}

std::optional<DispatchOutcome> SimulatedCard::injectedFault(const SimState &state, SimOperation op,
                                                            std::string_view what) const
{
    switch (state.fault(op)) {
    case SimFaultMode::None:
        return std::nullopt;
    case SimFaultMode::False:
        return DispatchOutcome::boolean(false);
    case SimFaultMode::Error:
        return DispatchOutcome::failure(error_code::DeviceIoError,
                                        "Simulated card: simulated failure of " +
                                            std::string(what) + " (set by 'velmora-sim fault " +
                                            std::string(toString(op)) + " error')");
    case SimFaultMode::NoBool:
        // A result with no Boolean reading, as a misbehaving control might return.
        return DispatchOutcome::success(AutomationValue::string("simulated result"));
    }
    return std::nullopt;
}

std::optional<DispatchOutcome> SimulatedCard::answerSelect()
{
    // A state file that cannot be read injects nothing: the selection dialog answers, and lists
    // this card with the reason, so the user is never kept from the other cards.
    const SimState *state = nullptr;
    if (loadState(state))
        return std::nullopt;
    return injectedFault(*state, SimOperation::Select, "SelectDevice");
}

DispatchOutcome SimulatedCard::configurePorts(std::int32_t chip, std::int16_t controlWord)
{
    const SimState *state = nullptr;
    if (auto failed = loadState(state))
        return std::move(*failed);
    if (auto fault = injectedFault(*state, SimOperation::Configure, "ConfigurePorts"))
        return std::move(*fault);

    if (chip != OnlyChip)
        return DispatchOutcome::boolean(false);
    using Group = PpiControlWord::Group;
    const PpiControlWord word(controlWord);
    if (!word.isModeSet()) {
        const unsigned mask = 1u << word.portCBit();
        if (word.portCLevel())
            m_outputLatch[2] = static_cast<std::uint8_t>(m_outputLatch[2] | mask);
        else
            m_outputLatch[2] = static_cast<std::uint8_t>(m_outputLatch[2] & ~mask);
        return DispatchOutcome::boolean(true);
    }
    if (!word.isMode0())
        return DispatchOutcome::boolean(false); // strobed and bidirectional modes are not simulated
    m_isInput[PortA] = word.isInput(Group::PortA);
    m_isInput[PortB] = word.isInput(Group::PortB);
    m_isInput[PortCUpper] = word.isInput(Group::PortCUpper);
    m_isInput[PortCLower] = word.isInput(Group::PortCLower);
    // A mode set clears every output latch, as on the real chip.
    m_outputLatch = {};
    return DispatchOutcome::boolean(true);
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
    const SimState *state = nullptr;
    if (auto failed = loadState(state))
        return std::move(*failed);
    if (port == 0 || port == 1) {
        // Chosen, not built: a read that goes well allocates nothing.
        const auto op = port == 0 ? SimOperation::Read0 : SimOperation::Read1;
        const std::string_view what = port == 0 ? "ReadPort on port 0" : "ReadPort on port 1";
        if (auto fault = injectedFault(*state, op, what))
            return std::move(*fault);
    }
    if (port < 0 || port >= static_cast<std::int32_t>(SimPortCount))
        return DispatchOutcome::boolean(false);

    const auto p = static_cast<std::size_t>(port);
    const std::uint16_t inputs = state->portValuesAt(m_clock())[p];
    value = static_cast<std::int16_t>(portValue(p, inputs));
    if (auto failed = trace(state->trace, port, value))
        return std::move(*failed);
    return DispatchOutcome::boolean(true);
}

std::optional<DispatchOutcome> SimulatedCard::trace(const std::string &path, std::int32_t port,
                                                    std::int16_t delivered)
{
    if (path != m_tracePath) {
        m_trace.close();
        m_tracePath = path;
        if (!path.empty()) {
            // Kept open while the trace runs, so tracing costs one write per read.
            if (auto failure = m_trace.open(path)) {
                m_tracePath.clear();
                return DispatchOutcome::failure(error_code::DeviceIoError,
                                                "Simulated card: cannot open the trace file " +
                                                    printable(path) + ": " + *failure +
                                                    " (or stop the trace: velmora-sim trace off)");
            }
        }
    }
    if (!m_trace.isOpen())
        return std::nullopt;

    char line[64];
    // Monotonic nanoseconds, port, value delivered.
    const int length =
        std::snprintf(line, sizeof line, "%lld %d %d\n",
                      static_cast<long long>(TraceFile::monotonicNs()), port, int{delivered});
    if (auto failure = m_trace.append(std::string_view(line, static_cast<std::size_t>(length)))) {
        return DispatchOutcome::failure(error_code::DeviceIoError,
                                        "Simulated card: cannot write the trace file " +
                                            printable(path) + ": " + *failure);
    }
    return std::nullopt;
}

} // namespace velmora
