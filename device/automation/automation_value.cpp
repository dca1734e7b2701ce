#include "automation/automation_value.h"

#include "automation/automation_error.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

namespace velmora {

namespace {

// What a string comes to when read as a number, as far as a Boolean reading needs to know.
enum class NumberReading { Zero, NonZero, Overflow, NotANumber };

// Counts of digits and exponents stop growing here: far past anything a double can hold, yet
// small enough that adding a few of them together cannot overflow 64 bits.
constexpr std::int64_t CountLimit = 100'000'000'000'000'000;

// More significant digits than any double needs for correct rounding (767), so the digits
// kept plus one sticky digit for the rest round exactly as the full string would.
constexpr std::size_t KeptDigits = 800;

// Beyond these decimal exponents the value is certainly infinite or certainly below half the
// smallest subnormal; between them std::from_chars decides.
constexpr std::int64_t SureOverflowExponent = 400;
constexpr std::int64_t SureUnderflowExponent = -400;

void countUp(std::int64_t &count)
{
    if (count < CountLimit)
        ++count;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool equalsIgnoringAsciiCase(std::string_view text, std::string_view lowerWord)
{
    if (text.size() != lowerWord.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != lowerWord[i])
            return false;
    }
    return true;
}

class Cursor {
public:
    explicit Cursor(std::string_view text)
        : m_text(text)
    {}

    bool atEnd() const { return m_pos >= m_text.size(); }
    // '\0' past the end; the text itself never holds one (it is cut at the first).
    char peek(std::size_t ahead = 0) const
    {
        return m_pos + ahead < m_text.size() ? m_text[m_pos + ahead] : '\0';
    }
    void advance(std::size_t count = 1) { m_pos += count; }

    // White space as the U.S. English reading knows it: the ASCII spaces and controls, and the
    // no-break space (UTF-8 C2 A0).
    bool skipWhiteSpace()
    {
        const std::size_t start = m_pos;
        for (;;) {
            const char c = peek();
            if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r')
                advance();
            else if (c == '\xC2' && peek(1) == '\xA0')
                advance(2);
            else
                break;
        }
        return m_pos != start;
    }

private:
    std::string_view m_text;
    std::size_t m_pos = 0;
};

// The symbols around the digits. Each may appear once, except the currency symbol, which may
// repeat after the amount.
struct Symbols {
    bool plus = false;
    bool minus = false;
    bool currency = false;
    bool openParen = false;
    bool closeParen = false;
};

// The significant digits of a decimal number and where the decimal point falls among them.
class DecimalDigits {
public:
    void add(char digit, bool inFraction)
    {
        if (m_kept.empty() && digit == '0') {
            if (inFraction)
                countUp(m_fractionZeros);
            return; // a leading zero
        }
        if (!inFraction)
            countUp(m_integerDigits);
        if (m_kept.size() < KeptDigits)
            m_kept.push_back(digit);
        else if (digit != '0')
            m_droppedNonZero = true;
    }

    NumberReading value(std::int64_t exponent) const
    {
        if (m_kept.empty())
            return NumberReading::Zero;

        // The power of ten of the first significant digit.
        const std::int64_t scale =
            m_integerDigits > 0 ? m_integerDigits - 1 + exponent : exponent - m_fractionZeros - 1;
        if (scale > SureOverflowExponent)
            return NumberReading::Overflow;
        if (scale < SureUnderflowExponent)
            return NumberReading::Zero;

        std::string text;
        text.reserve(m_kept.size() + 16);
        text.push_back(m_kept.front());
        if (m_kept.size() > 1 || m_droppedNonZero) {
            text.push_back('.');
            text.append(m_kept, 1);
            if (m_droppedNonZero)
                text.push_back('1');
        }
        text.push_back('e');
        text += std::to_string(scale);

        double result = 0.0;
        const char *end = text.data() + text.size();
        const auto [ptr, ec] =
            std::from_chars(text.data(), end, result, std::chars_format::scientific);
        if (ec == std::errc::result_out_of_range)
            return scale > 0 ? NumberReading::Overflow : NumberReading::Zero;
        if (ec != std::errc() || ptr != end)
            return NumberReading::NotANumber; // cannot happen for the text built above
        return result == 0.0 ? NumberReading::Zero : NumberReading::NonZero;
    }

private:
    std::string m_kept; // up to KeptDigits digits from the first non-zero one
    bool m_droppedNonZero = false;
    std::int64_t m_integerDigits = 0; // significant digits before the decimal point
    std::int64_t m_fractionZeros = 0; // zeros after the point before the first significant one
};

int radixDigit(char c, unsigned bitsPerDigit)
{
    int digit = -1;
    if (isDigit(c))
        digit = c - '0';
    else if (c >= 'a' && c <= 'f')
        digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        digit = c - 'A' + 10;
    return digit < (1 << bitsPerDigit) ? digit : -1;
}

// After the digits: white space, one sign (unless one came before), the closing parenthesis,
// currency symbols and, after a plain integer part, thousands separators. True when this
// reaches the end of the text with the parentheses paired.
bool readTrailing(Cursor &in, Symbols &symbols, bool separatorsAllowed, bool currencyAllowed)
{
    for (;;) {
        if (in.skipWhiteSpace())
            continue;
        const char c = in.peek();
        if (c == ',' && separatorsAllowed) {
            in.advance();
        } else if (c == '+' && !symbols.plus) {
            symbols.plus = true;
            in.advance();
        } else if (c == '-' && !symbols.minus) {
            symbols.minus = true;
            in.advance();
        } else if (c == ')' && symbols.openParen && !symbols.closeParen) {
            symbols.closeParen = true;
            in.advance();
        } else if (c == '$' && currencyAllowed) {
            in.advance();
        } else {
            break;
        }
    }
    return in.atEnd() && symbols.openParen == symbols.closeParen;
}

NumberReading readRadixNumber(Cursor &in, Symbols &symbols, unsigned bitsPerDigit)
{
    std::uint64_t value = 0;
    bool anyDigit = false;
    bool overflow = false;
    for (int digit; (digit = radixDigit(in.peek(), bitsPerDigit)) >= 0; in.advance()) {
        anyDigit = true;
        if (value > (std::numeric_limits<std::uint64_t>::max() >> bitsPerDigit))
            overflow = true; // keep reading: a malformed tail is still a type mismatch
        else
            value = (value << bitsPerDigit) | static_cast<std::uint64_t>(digit);
    }
    // No fraction, exponent, separators or currency with &H and &O.
    if (!anyDigit || !readTrailing(in, symbols, false, false))
        return NumberReading::NotANumber;
    if (overflow)
        return NumberReading::Overflow;
    return value == 0 ? NumberReading::Zero : NumberReading::NonZero;
}

// The string read as a number with U.S. English conventions, all of it or nothing.
NumberReading readNumber(std::string_view text)
{
    Cursor in(text);
    Symbols symbols;
    bool inFraction = false;

    // Leading white space, sign, currency symbol and parenthesis, in any order.
    for (;;) {
        if (in.skipWhiteSpace())
            continue;
        const char c = in.peek();
        if (c == '.') {
            inFraction = true;
            in.advance();
            break;
        }
        if (c == ',')
            return NumberReading::NotANumber; // no separator before the first digit
        if (c == '+' && !symbols.plus) {
            symbols.plus = true;
        } else if (c == '-' && !symbols.minus) {
            symbols.minus = true;
        } else if (c == '$' && !symbols.currency) {
            symbols.currency = true;
        } else if (c == '(' && !symbols.openParen) {
            symbols.openParen = true;
        } else {
            break;
        }
        in.advance();
    }

    // A currency amount is never written in hexadecimal or octal.
    if (!inFraction && !symbols.currency && in.peek() == '&') {
        const char prefix = in.peek(1);
        if (prefix == 'H' || prefix == 'h') {
            in.advance(2);
            return readRadixNumber(in, symbols, 4);
        }
        if (prefix == 'O' || prefix == 'o') {
            in.advance(2);
            return readRadixNumber(in, symbols, 3);
        }
    }

    DecimalDigits digits;
    bool anyDigit = false;
    bool hasExponent = false;
    std::int64_t exponent = 0;
    for (;;) {
        const char c = in.peek();
        if (isDigit(c)) {
            digits.add(c, inFraction);
            anyDigit = true;
            in.advance();
        } else if (c == ',' && !inFraction && anyDigit) {
            // Separators may fall anywhere in the integer part, even doubled. After the
            // decimal point they end the number: a misplaced separator is more likely a typo
            // than a grouping.
            in.advance();
        } else if (c == '.' && !inFraction) {
            inFraction = true;
            in.advance();
        } else if ((c == 'e' || c == 'E') && !symbols.currency) {
            // A currency amount takes no exponent; the exponent takes at most one sign.
            in.advance();
            bool negative = false;
            if (in.peek() == '+' || in.peek() == '-') {
                negative = in.peek() == '-';
                in.advance();
            }
            if (!isDigit(in.peek()))
                return NumberReading::NotANumber;
            std::int64_t magnitude = 0;
            for (; isDigit(in.peek()); in.advance()) {
                if (magnitude < CountLimit)
                    magnitude = magnitude * 10 + (in.peek() - '0');
            }
            if (magnitude > CountLimit)
                magnitude = CountLimit;
            exponent = negative ? -magnitude : magnitude;
            hasExponent = true;
            break;
        } else {
            break;
        }
    }
    if (!anyDigit)
        return NumberReading::NotANumber;
    if (!readTrailing(in, symbols, !inFraction && !hasExponent, true))
        return NumberReading::NotANumber;
    return digits.value(exponent);
}

} // namespace

bool stringToBoolean(std::string_view text)
{
    // The conversion reads a NUL-terminated wide string, so nothing after a NUL counts.
    if (const auto nul = text.find('\0'); nul != std::string_view::npos)
        text = text.substr(0, nul);

    if (equalsIgnoringAsciiCase(text, "true"))
        return true;
    if (equalsIgnoringAsciiCase(text, "false"))
        return false;
    if (text == "#TRUE#")
        return true;
    if (text == "#FALSE#")
        return false;

    switch (readNumber(text)) {
    case NumberReading::Zero:
        return false;
    case NumberReading::NonZero:
        return true;
    case NumberReading::Overflow:
        throw AutomationError::overflow();
    case NumberReading::NotANumber:
        break;
    }
    throw AutomationError::typeMismatch();
}

bool toBoolean(const AutomationValue &value)
{
    switch (value.kind()) {
    case AutomationValue::Kind::Empty:
        return false;
    case AutomationValue::Kind::Null:
        throw AutomationError::invalidUseOfNull();
    case AutomationValue::Kind::Boolean:
        return value.asBoolean();
    case AutomationValue::Kind::Integer:
        return value.asInteger() != 0;
    case AutomationValue::Kind::Long:
        return value.asLong() != 0;
    case AutomationValue::Kind::Double:
        return value.asDouble() != 0.0; // NaN compares unequal, so it reads as True
    case AutomationValue::Kind::String:
        return stringToBoolean(value.asString());
    case AutomationValue::Kind::Error:
    case AutomationValue::Kind::IntegerByRef: // an argument form, never a result
        break;
    }
    throw AutomationError::typeMismatch();
}

} // namespace velmora
