#pragma once

// A simulated card's state file with every field away from its default, and the state it
// holds: one sample for the Linux and the Windows suites, so both read the same bytes.

#include "simulated/sim_state.h"

#include <string>

namespace velmora::testdata {

inline const std::string GoldenState = "velmora-simcard 1\n"
                                       "port0 0x00a5\n"
                                       "port1 0x003c\n"
                                       "port2 0xffff\n"
                                       "pattern walk\n"
                                       "fault read0 none\n"
                                       "fault read1 error\n"
                                       "fault configure false\n"
                                       "fault select nobool\n";

inline SimState goldenState()
{
    SimState state;
    state.ports = {0x00a5, 0x003c, 0xffff};
    state.pattern = SimPattern::Walk;
    state.faults = {SimFaultMode::None, SimFaultMode::Error, SimFaultMode::False,
                    SimFaultMode::NoBool};
    return state;
}

} // namespace velmora::testdata
