// Arbitrary bytes as a state file: a SimStateError is a refusal, anything else (a crash, a
// sanitizer report, another exception) is a fault. Whatever is accepted must survive being
// written and read back unchanged, or velmora-sim's next edit would alter the card.

#include "simulated/sim_state.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    velmora::SimState state;
    try {
        state = velmora::SimState::parse(text);
    } catch (const velmora::SimStateError &) {
        return 0;
    }

    const std::string written = state.format();
    try {
        if (velmora::SimState::parse(written) == state)
            return 0;
        std::fprintf(stderr, "state changed on the way back through:\n%s", written.c_str());
    } catch (const velmora::SimStateError &e) {
        std::fprintf(stderr, "written state refused (%s):\n%s", e.what(), written.c_str());
    }
    std::abort();
}
