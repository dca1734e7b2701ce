#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace velmora {

// A value as automation passes it between a caller and a control: the subset of the
// automation variant this program and its device controls exchange.
class AutomationValue final {
public:
    enum class Kind {
        Empty,        // VT_EMPTY
        Null,         // VT_NULL
        Boolean,      // VT_BOOL
        Integer,      // VT_I2
        Long,         // VT_I4
        Double,       // VT_R8
        String,       // VT_BSTR (held as UTF-8)
        Error,        // VT_ERROR: an SCODE, which has no Boolean reading
        IntegerByRef, // VT_BYREF | VT_I2: the caller's own 16-bit variable
    };

    struct EmptyTag {
        friend bool operator==(EmptyTag, EmptyTag) = default;
    };
    struct NullTag {
        friend bool operator==(NullTag, NullTag) = default;
    };
    struct ErrorCode {
        std::int32_t scode = 0;
        friend bool operator==(ErrorCode, ErrorCode) = default;
    };

    AutomationValue() = default; // Empty

    static AutomationValue empty() { return AutomationValue(); }
    static AutomationValue null() { return AutomationValue(NullTag{}); }
    static AutomationValue boolean(bool b) { return AutomationValue(b); }
    static AutomationValue integer(std::int16_t i) { return AutomationValue(i); }
    static AutomationValue longInteger(std::int32_t i) { return AutomationValue(i); }
    static AutomationValue real(double d) { return AutomationValue(d); }
    static AutomationValue string(std::string s) { return AutomationValue(std::move(s)); }
    static AutomationValue error(std::int32_t scode) { return AutomationValue(ErrorCode{scode}); }
    // The pointer must stay valid for the duration of the call that receives it, no longer.
    static AutomationValue integerByRef(std::int16_t *target) { return AutomationValue(target); }

    Kind kind() const noexcept { return static_cast<Kind>(m_value.index()); }

    bool asBoolean() const { return std::get<bool>(m_value); }
    std::int16_t asInteger() const { return std::get<std::int16_t>(m_value); }
    std::int32_t asLong() const { return std::get<std::int32_t>(m_value); }
    double asDouble() const { return std::get<double>(m_value); }
    const std::string &asString() const { return std::get<std::string>(m_value); }
    std::int32_t asError() const { return std::get<ErrorCode>(m_value).scode; }
    std::int16_t *asIntegerByRef() const { return std::get<std::int16_t *>(m_value); }

    friend bool operator==(const AutomationValue &, const AutomationValue &) = default;

private:
    using Storage = std::variant<EmptyTag, NullTag, bool, std::int16_t, std::int32_t, double,
                                 std::string, ErrorCode, std::int16_t *>;

    template<typename T>
    explicit AutomationValue(T v)
        : m_value(std::move(v))
    {}

    Storage m_value;
};

// What every device operation returns; the caller reads it as a Boolean at once.
using DeviceResult = AutomationValue;

// The automation standard's conversion to VT_BOOL with U.S. English settings.
// Raises 13 "Type mismatch", 6 "Overflow" or 94 "Invalid use of Null" where the value has no
// Boolean reading.
bool toBoolean(const AutomationValue &value);

// The same reading for a string alone: "True"/"False" in any case, "#TRUE#"/"#FALSE#",
// otherwise the string read as a number.
bool stringToBoolean(std::string_view text);

// True as automation stores it.
inline constexpr std::int16_t VariantTrue = -1;
inline constexpr std::int16_t VariantFalse = 0;

} // namespace velmora
