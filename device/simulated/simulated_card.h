#pragma once

#include "cards/card.h"
#include "simulated/sim_state.h"
#include "simulated/trace_file.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>

namespace velmora {

// A card without hardware: one 8255 whose input lines come from the state file that
// `velmora-sim` edits. Ports 0, 1, 2 are A, B, C; all are inputs after power-up, as a real 8255
// is after reset.
class SimulatedCard final : public Card {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    explicit SimulatedCard(SimStateFile stateFile = SimStateFile(SimStateFile::defaultPath()),
                           Clock clock = &std::chrono::system_clock::now);

    CardInfo info() const override;
    // Checks the state file (making a fresh one where there is none).
    DispatchStatus open() override;
    DispatchOutcome configurePorts(std::int32_t chip, std::int16_t controlWord) override;
    DispatchOutcome readPort(std::int32_t port, std::int16_t &value) override;
    std::optional<DispatchOutcome> answerSelect() override;

    ~SimulatedCard() override;

    const SimStateFile &stateFile() const noexcept { return m_state.file(); }

private:
    // Port groups in the order the mode-set word's direction bits name them.
    enum Group : std::size_t { PortA, PortB, PortCUpper, PortCLower, GroupCount };

    // The state as last read, valid until the next call; or why it cannot be read.
    std::optional<DispatchOutcome> loadState(const SimState *&state);
    std::optional<DispatchOutcome> trace(const std::string &path, std::int32_t port,
                                         std::int16_t delivered);
    std::optional<DispatchOutcome> injectedFault(const SimState &state, SimOperation op,
                                                 std::string_view what) const;
    std::uint16_t portValue(std::size_t port, std::uint16_t inputs) const;

    SimStateReader m_state;
    Clock m_clock;
    std::string m_tracePath; // the trace file open as m_trace, if any
    TraceFile m_trace;
    std::array<bool, GroupCount> m_isInput{true, true, true, true};
    std::array<std::uint8_t, SimPortCount> m_outputLatch{};
};

} // namespace velmora
