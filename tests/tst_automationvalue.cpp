#include "automation/automation_error.h"
#include "automation/automation_value.h"

#include <QElapsedTimer>
#include <QTest>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

using velmora::AutomationError;
using velmora::AutomationValue;
namespace error_code = velmora::error_code;

Q_DECLARE_METATYPE(velmora::AutomationValue)

namespace {

constexpr int NoError = 0;

// The error code a reading raises, or NoError with the Boolean in `result`.
int outcome(const std::function<bool()> &read, bool &result)
{
    try {
        result = read();
        return NoError;
    } catch (const AutomationError &e) {
        return e.code();
    }
}

AutomationValue text(std::string s)
{
    return AutomationValue::string(std::move(s));
}

// The exact decimal digits of 5^exponent, so digits + "e-<exponent>" is exactly 2^-exponent.
std::string powerOfFive(int exponent)
{
    std::vector<int> digits{1}; // least significant first
    for (int i = 0; i < exponent; ++i) {
        int carry = 0;
        for (int &d : digits) {
            const int v = d * 5 + carry;
            d = v % 10;
            carry = v / 10;
        }
        if (carry > 0)
            digits.push_back(carry);
    }
    std::string decimal;
    for (auto d = digits.rbegin(); d != digits.rend(); ++d)
        decimal.push_back(static_cast<char>('0' + *d));
    return decimal;
}

void addRow(const char *name, AutomationValue value, int error, bool expected = false)
{
    QTest::newRow(name) << value << error << expected;
}

void addString(const char *name, std::string s, bool expected)
{
    addRow(name, text(std::move(s)), NoError, expected);
}

void addStringError(const char *name, std::string s, int error)
{
    addRow(name, text(std::move(s)), error);
}

} // namespace

class tst_AutomationValue : public QObject {
    Q_OBJECT

private slots:
    void toBoolean_data();
    void toBoolean();
    void errorTexts_data();
    void errorTexts();
};

void tst_AutomationValue::toBoolean_data()
{
    QTest::addColumn<AutomationValue>("value");
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("expected");

    constexpr int Mismatch = error_code::TypeMismatch;
    constexpr int Overflow = error_code::Overflow;
    static std::int16_t byRefTarget = 0;

    // Kinds other than String.
    addRow("empty", AutomationValue::empty(), NoError, false);
    addRow("null", AutomationValue::null(), error_code::InvalidUseOfNull);
    addRow("boolean true", AutomationValue::boolean(true), NoError, true);
    addRow("boolean false", AutomationValue::boolean(false), NoError, false);
    addRow("integer VariantTrue", AutomationValue::integer(velmora::VariantTrue), NoError, true);
    addRow("integer VariantFalse", AutomationValue::integer(velmora::VariantFalse), NoError, false);
    addRow("integer 1", AutomationValue::integer(1), NoError, true);
    addRow("integer -32768", AutomationValue::integer(-32768), NoError, true);
    addRow("long 0", AutomationValue::longInteger(0), NoError, false);
    addRow("long -1", AutomationValue::longInteger(-1), NoError, true);
    addRow("long 65536 (zero low word)", AutomationValue::longInteger(65536), NoError, true);
    addRow("double 0", AutomationValue::real(0.0), NoError, false);
    addRow("double -0", AutomationValue::real(-0.0), NoError, false);
    addRow("double 0.4 (no rounding)", AutomationValue::real(0.4), NoError, true);
    addRow("double NaN", AutomationValue::real(std::numeric_limits<double>::quiet_NaN()), NoError,
           true);
    addRow("double denormal", AutomationValue::real(std::numeric_limits<double>::denorm_min()),
           NoError, true);
    addRow("error 0", AutomationValue::error(0), Mismatch);
    addRow("integer by ref", AutomationValue::integerByRef(&byRefTarget), Mismatch);

    // Words: any case, nothing around them.
    addString("True", "True", true);
    addString("true", "true", true);
    addString("tRuE", "tRuE", true);
    addString("False", "False", false);
    addString("FALSE", "FALSE", false);
    addStringError("space True", " True", Mismatch);
    addStringError("True space", "True ", Mismatch);
    addStringError("Tru", "Tru", Mismatch);
    addStringError("Yes", "Yes", Mismatch);
    addString("#TRUE#", "#TRUE#", true);
    addString("#FALSE#", "#FALSE#", false);
    addStringError("#true#", "#true#", Mismatch);
    addStringError("space #TRUE#", " #TRUE#", Mismatch);
    addString("True NUL tail", std::string("True\0x", 6), true);
    addString("1 NUL tail", std::string("1\0junk", 6), true);
    addStringError("NUL first",
                   std::string("\0"
                               "1",
                               2),
                   Mismatch);

    // Nothing that is a number.
    addStringError("empty string", "", Mismatch);
    addStringError("white space only", " \t\r\n\v\f", Mismatch);
    addStringError("no-break space only", "\xC2\xA0", Mismatch);
    addStringError("point only", ".", Mismatch);
    addStringError("currency only", "$", Mismatch);
    addStringError("parens only", "()", Mismatch);
    addStringError("abc", "abc", Mismatch);
    addStringError("1.2.3", "1.2.3", Mismatch);
    addStringError("C hex", "0x10", Mismatch);
    addStringError("broken UTF-8 before digit",
                   "\xC2"
                   "1",
                   Mismatch);
    addStringError("inner space", "1 000", Mismatch);
    addStringError("C2 lead byte that is no no-break space",
                   "\xC2\xA1"
                   "1",
                   Mismatch);

    // Plain decimals.
    addString("0", "0", false);
    addString("1", "1", true);
    addString("-1", "-1", true);
    addString("+1", "+1", true);
    addString("-0", "-0", false);
    addString("0.0", "0.0", false);
    addString(".0", ".0", false);
    addString(".5", ".5", true);
    addString("0.4 (no rounding)", "0.4", true);

    // White space around the number.
    addString("spaces around", "  1  ", true);
    addString("controls around", "\t\n\v\f\r0\r\n", false);
    addString("no-break spaces around",
              "\xC2\xA0"
              "1"
              "\xC2\xA0",
              true);

    // Signs and parentheses.
    addString("trailing minus", "1-", true);
    addString("trailing minus zero", "0-", false);
    addStringError("plus both ends", "+1+", Mismatch);
    addString("parens", "(1)", true);
    addString("parens zero", "(0)", false);
    addStringError("open paren only", "(1", Mismatch);
    addStringError("open paren, trailing minus", "(1-", Mismatch);
    addStringError("close paren only", "1)", Mismatch);

    // Currency.
    addString("currency", "$1", true);
    addString("currency then minus", "$-1", true);
    addString("minus then currency", "-$1", true);
    addString("currency after", "1$", true);
    addString("currency after, repeated", "1$$", true);
    addStringError("currency twice before", "$$1", Mismatch);
    addStringError("currency with exponent", "$1e2", Mismatch);

    // Thousands separators.
    addString("thousands", "1,000", true);
    addString("thousands and fraction", "1,000,000.5", true);
    addString("thousands doubled", "1,,0", true);
    addString("thousands trailing", "1,", true);
    addStringError("thousands leading", ",1", Mismatch);
    addStringError("thousands in fraction", "1.5,5", Mismatch);
    addStringError("separator after a fraction", "1.5,", Mismatch);
    addStringError("separator after an exponent", "1e5,", Mismatch);
    addStringError("separator after a hex number", "&H1,", Mismatch);

    // Exponents.
    addString("exponent", "1e5", true);
    addString("exponent upper", "1E5", true);
    addString("exponent plus", "1e+5", true);
    addString("exponent minus", "1.5e-3", true);
    addString("zero exponent", "0e5", false);
    addStringError("exponent without digits", "1e", Mismatch);
    addStringError("exponent sign only", "1e+", Mismatch);
    addStringError("exponent two signs", "1e+-5", Mismatch);
    addStringError("exponent twice", "1e5e5", Mismatch);
    addStringError("space before exponent", "1 e5", Mismatch);

    // Hexadecimal and octal.
    addString("hex", "&H10", true);
    addString("hex zero", "&h0", false);
    addString("hex e is a digit", "&H1e2", true);
    addString("hex 64 bits", "&HFFFFFFFFFFFFFFFF", true);
    addString("hex leading zeros do not count", "&H000000000000000000001", true);
    addString("hex negative", "-&H1", true);
    addString("octal", "&O17", true);
    addString("octal zero", "&o0", false);
    addString("octal 64 bits", "&O1777777777777777777777", true);
    addStringError("hex 65 bits", "&H10000000000000000", Overflow);
    addStringError("octal 65 bits", "&O2000000000000000000000", Overflow);
    addStringError("hex no digits", "&H", Mismatch);
    addStringError("hex bad digit", "&HG", Mismatch);
    addStringError("hex space inside", "&H 1", Mismatch);
    addStringError("hex fraction", "&H1.5", Mismatch);
    addStringError("hex thousands", "&H1,000", Mismatch);
    addStringError("hex currency before", "$&H1", Mismatch);
    addStringError("hex currency after", "&H1$", Mismatch);
    addStringError("octal 8", "&O8", Mismatch);
    addStringError("octal 18", "&O18", Mismatch);
    addStringError("hex overflow with bad tail", "&H10000000000000000X", Mismatch);

    // The double's range.
    addString("largest double", "1.7976931348623158e308", true);
    addStringError("rounds to infinity", "1.7976931348623159e308", Overflow);
    addStringError("1e400", "1e400", Overflow);
    addStringError("-1e400", "-1e400", Overflow);
    addStringError("400 digits", "1" + std::string(399, '0'), Overflow);
    addStringError("overflow with bad tail", "1e400x", Mismatch);
    addString("1e-400 underflows", "1e-400", false);
    addString("subnormal", "1e-320", true);
    addString("zero with huge exponent", "0e400", false);
    addString("above half the smallest subnormal", "2.4703282292062328e-324", true);
    addString("below half the smallest subnormal", "2.4703282292062327e-324", false);
    // Exactly half the smallest subnormal rounds to zero (ties to even); a 1 far beyond the
    // 800th digit must still tip it up.
    const std::string half = powerOfFive(1075);
    addString("exactly half the smallest subnormal", half + "e-1075", false);
    addString("just above half the smallest subnormal", half + std::string(100, '0') + "1e-1176",
              true);

    // Hostile input: linear work takes milliseconds; anything quadratic would take minutes.
    constexpr std::size_t M = 1'000'000;
    const std::string zeros(M, '0');
    const std::string nines(M, '9');

    addStringError("a million ones", std::string(M, '1'), error_code::Overflow);
    addString("a million zeros", zeros, false);
    addString("a million zeros then 1", "0." + zeros + "1", false);
    addString("point moved back by exponent", "0." + zeros + "1e1000000", true);
    addString("point moved forward by exponent", "1" + zeros + "e-1000000", true);
    addStringError("exponent of a million nines", "1e" + nines, error_code::Overflow);
    addString("negative exponent of a million nines", "1e-" + nines, false);
    addString("zero with exponent of a million nines", "0e" + nines, false);
    addStringError("exponent past 64 bits", "1e99999999999999999999", error_code::Overflow);
    addStringError("a million spaces", std::string(M, ' '), error_code::TypeMismatch);
    addString("1 among a million spaces", std::string(M, ' ') + "1" + std::string(M, ' '), true);
    addString("1 and a million separators", "1" + std::string(M, ','), true);
    addString("hex after a million zeros", "&H" + zeros + "1", true);
    addStringError("a million hex digits", "&H" + std::string(M, 'F'), error_code::Overflow);
    addStringError("a million octal digits", "&O" + std::string(M, '7'), error_code::Overflow);
    addStringError("a million digits then junk", std::string(M, '1') + "x",
                   error_code::TypeMismatch);
}

void tst_AutomationValue::toBoolean()
{
    QFETCH(AutomationValue, value);
    QFETCH(int, error);
    QFETCH(bool, expected);

    QElapsedTimer timer;
    timer.start();
    bool result = false;
    QCOMPARE(outcome([&] { return velmora::toBoolean(value); }, result), error);
    if (error == NoError)
        QCOMPARE(result, expected);
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed()) + " ms"));

    if (value.kind() == AutomationValue::Kind::String) {
        bool direct = false;
        QCOMPARE(outcome([&] { return velmora::stringToBoolean(value.asString()); }, direct),
                 error);
        QCOMPARE(direct, result);
    }
}

void tst_AutomationValue::errorTexts_data()
{
    QTest::addColumn<AutomationValue>("value");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("description");

    QTest::newRow("type mismatch") << text("x") << 13 << QStringLiteral("Type mismatch");
    QTest::newRow("overflow") << text("1e400") << 6 << QStringLiteral("Overflow");
    QTest::newRow("null") << AutomationValue::null() << 94 << QStringLiteral("Invalid use of Null");
}

void tst_AutomationValue::errorTexts()
{
    QFETCH(AutomationValue, value);
    QFETCH(int, code);
    QFETCH(QString, description);

    try {
        velmora::toBoolean(value);
        QFAIL("no error raised");
    } catch (const AutomationError &e) {
        QCOMPARE(e.code(), code);
        QCOMPARE(QString::fromStdString(e.description()), description);
        QCOMPARE(QString::fromUtf8(e.what()),
                 QStringLiteral("Run-time error '%1': %2").arg(code).arg(description));
    }
}

QTEST_APPLESS_MAIN(tst_AutomationValue)

#include "tst_automationvalue.moc"
