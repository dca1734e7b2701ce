// Arbitrary bytes as a string's Boolean reading: an AutomationError is an answer, anything else
// (a crash, a sanitizer report, another exception) is a fault. Where the bytes are a plain
// decimal number, the reading must also agree with the C library's correctly rounded strtod:
// zero is False, infinity is an overflow, anything else True.

#include "automation/automation_error.h"
#include "automation/automation_value.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// [+-]? (digits [. digits?] | . digits) ([eE] [+-]? digits)? — and nothing else.
bool isPlainDecimal(std::string_view s)
{
    std::size_t i = 0;
    const auto digits = [&] {
        const std::size_t start = i;
        while (i < s.size() && isDigit(s[i]))
            ++i;
        return i > start;
    };
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    const bool whole = digits();
    bool fraction = false;
    if (i < s.size() && s[i] == '.') {
        ++i;
        fraction = digits();
    }
    if (!whole && !fraction)
        return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            ++i;
        if (!digits())
            return false;
    }
    return i == s.size();
}

[[noreturn]] void disagree(std::string_view text, const char *ours, const char *theirs)
{
    std::fprintf(stderr, "'%.*s' reads as %s, strtod says %s\n", int(text.size()), text.data(),
                 ours, theirs);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::optional<bool> reading;
    int error = 0;
    try {
        reading = velmora::stringToBoolean(text);
    } catch (const velmora::AutomationError &e) {
        error = e.code();
        if (error != velmora::error_code::Overflow && error != velmora::error_code::TypeMismatch)
            disagree(text, "an unexpected error", "nothing of the sort");
    }

    if (isPlainDecimal(text)) {
        const double value = std::strtod(text.c_str(), nullptr);
        if (std::isinf(value)) {
            if (error != velmora::error_code::Overflow)
                disagree(text, reading ? (*reading ? "True" : "False") : "a type mismatch",
                         "overflow");
        } else if (!reading || *reading != (value != 0.0)) {
            disagree(text, reading ? (*reading ? "True" : "False") : "an error",
                     value != 0.0 ? "non-zero" : "zero");
        }
    }
    return 0;
}
