#include "automation/automation_error.h"
#include "automation/automation_value.h"

#include <QElapsedTimer>
#include <QTest>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

using velmora::AutomationError;
using velmora::AutomationValue;

using MakeError = AutomationError (*)();
Q_DECLARE_METATYPE(velmora::AutomationValue)
Q_DECLARE_METATYPE(MakeError)

namespace {

// What a reading gives: False, True, or the error code it raises.
constexpr int False = 0, True = 1, Overflow = 6, Mismatch = 13, NullUse = 94;

int reading(const auto &read)
{
    try {
        return read() ? True : False;
    } catch (const AutomationError &e) {
        return e.code();
    }
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

void row(const char *name, AutomationValue value, int want)
{
    QTest::newRow(name) << value << want;
}

void named(const char *name, std::string s, int want)
{
    row(name, AutomationValue::string(std::move(s)), want);
}

// Strings that read the same, each row named after the string itself.
void strings(int want, std::initializer_list<std::string> list)
{
    for (const std::string &s : list) {
        QString name = "\"";
        for (unsigned char c : s)
            name += c >= 0x20 && c < 0x7F ? QString(QChar(c)) : QString::asprintf("\\x%02X", c);
        row(qPrintable(name + '"'), AutomationValue::string(s), want);
    }
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
    QTest::addColumn<int>("want");
    static std::int16_t byRefTarget = 0;
    using V = AutomationValue;
    using Limits = std::numeric_limits<double>;

    // Kinds other than String.
    row("empty", V::empty(), False);
    row("null", V::null(), NullUse);
    row("boolean true", V::boolean(true), True);
    row("boolean false", V::boolean(false), False);
    row("integer VariantTrue", V::integer(velmora::VariantTrue), True);
    row("integer VariantFalse", V::integer(velmora::VariantFalse), False);
    row("integer 1", V::integer(1), True);
    row("integer -32768", V::integer(-32768), True);
    row("long 0", V::longInteger(0), False);
    row("long -1", V::longInteger(-1), True);
    row("long 65536 (zero low word)", V::longInteger(65536), True);
    row("double 0", V::real(0.0), False);
    row("double -0", V::real(-0.0), False);
    row("double 0.4 (no rounding)", V::real(0.4), True);
    row("double NaN", V::real(Limits::quiet_NaN()), True);
    row("double denormal", V::real(Limits::denorm_min()), True);
    row("error 0", V::error(0), Mismatch);
    row("integer by ref", V::integerByRef(&byRefTarget), Mismatch);

    // Words in any case, nothing around them; NUL ends the string.
    strings(True, {"True", "true", "tRuE", "#TRUE#", std::string("True\0x", 6),
                   std::string("1\0junk", 6)});
    strings(False, {"False", "FALSE", "#FALSE#"});
    strings(Mismatch,
            {" True", "True ", "Tru", "Yes", "#true#", " #TRUE#", std::string("\0001", 2)});

    // Nothing that is a number.
    strings(Mismatch, {"", " \t\r\n\v\f", "\xC2\xA0", ".", "$", "()", "abc", "1.2.3", "0x10",
                       "\xC2"
                       "1",
                       "1 000",
                       "\xC2\xA1"
                       "1"});

    // Decimals, white space (no-break spaces too), signs, parentheses and currency.
    strings(True, {"1", "-1", "+1", ".5", "0.4", "  1  ",
                   "\xC2\xA0"
                   "1"
                   "\xC2\xA0",
                   "1-", "(1)", "$1", "$-1", "-$1", "1$", "1$$"});
    strings(False, {"0", "-0", "0.0", ".0", "\t\n\v\f\r0\r\n", "0-", "(0)"});
    strings(Mismatch, {"+1+", "1++", "1--", "(1", "(1-", "1)", "$$1", "$1e2"});

    // Thousands separators: in the integer part only.
    strings(True, {"1,000", "1,000,000.5", "1,,0", "1,"});
    strings(Mismatch, {",1", "1.5,5", "1.5,", "1e5,", "&H1,"});

    // Exponents.
    strings(True, {"1e5", "1E5", "1e+5", "1.5e-3"});
    strings(False, {"0e5"});
    strings(Mismatch, {"e5", "1e", "1e+", "1e+-5", "1e5e5", "1 e5"});

    // Hexadecimal and octal: 64 bits at most, leading zeros not counted.
    strings(True, {"&H10", "&H1e2", "&Ha", "&Hf", "&HA", "&H9", "&HFFFFFFFFFFFFFFFF",
                   "&H000000000000000000001", "-&H1", "&O17", "&O1777777777777777777777"});
    strings(False, {"&h0", "&o0"});
    strings(Overflow, {"&H10000000000000000", "&O2000000000000000000000"});
    strings(Mismatch, {"&H", "&HG", "&H 1", "&H1.5", "&H1,000", "$&H1", "&H1$", "&O8", "&O18",
                       "&H10000000000000000X"});

    // The double's range; underflow reads as zero.
    strings(True, {"1.7976931348623158e308", "1e-320", "2.4703282292062328e-324"});
    strings(False, {"1e-400", "0e400", "2.4703282292062327e-324"});
    strings(Overflow, {"1.7976931348623159e308", "1e400", "-1e400"});
    strings(Mismatch, {"1e400x"});
    named("400 digits", "1" + std::string(399, '0'), Overflow);
    // Exactly half the smallest subnormal rounds to zero (ties to even); a 1 far beyond the
    // 800th digit must still tip it up.
    const std::string half = powerOfFive(1075);
    named("exactly half the smallest subnormal", half + "e-1075", False);
    named("just above half the smallest subnormal", half + std::string(100, '0') + "1e-1176", True);

    // Hostile input: linear work takes milliseconds; anything quadratic would take minutes.
    constexpr std::size_t M = 1'000'000;
    const std::string zeros(M, '0');
    const std::string nines(M, '9');
    named("a million ones", std::string(M, '1'), Overflow);
    named("a million zeros", zeros, False);
    named("a million zeros then 1", "0." + zeros + "1", False);
    named("point moved back by exponent", "0." + zeros + "1e1000000", True);
    named("point moved forward by exponent", "1" + zeros + "e-1000000", True);
    named("exponent of a million nines", "1e" + nines, Overflow);
    named("negative exponent of a million nines", "1e-" + nines, False);
    named("zero with exponent of a million nines", "0e" + nines, False);
    named("exponent past 64 bits", "1e99999999999999999999", Overflow);
    named("a million spaces", std::string(M, ' '), Mismatch);
    named("1 among a million spaces", std::string(M, ' ') + "1" + std::string(M, ' '), True);
    named("1 and a million separators", "1" + std::string(M, ','), True);
    named("hex after a million zeros", "&H" + zeros + "1", True);
    named("a million hex digits", "&H" + std::string(M, 'F'), Overflow);
    named("a million octal digits", "&O" + std::string(M, '7'), Overflow);
    named("a million digits then junk", std::string(M, '1') + "x", Mismatch);
}

void tst_AutomationValue::toBoolean()
{
    QFETCH(AutomationValue, value);
    QFETCH(int, want);

    QElapsedTimer timer;
    timer.start();
    QCOMPARE(reading([&] { return velmora::toBoolean(value); }), want);
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed()) + " ms"));
    if (value.kind() == AutomationValue::Kind::String)
        QCOMPARE(reading([&] { return velmora::stringToBoolean(value.asString()); }), want);
}

void tst_AutomationValue::errorTexts_data()
{
    QTest::addColumn<MakeError>("make");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("description");

    QTest::newRow("overflow") << MakeError(&AutomationError::overflow) << 6 << "Overflow";
    QTest::newRow("type mismatch")
        << MakeError(&AutomationError::typeMismatch) << 13 << "Type mismatch";
    QTest::newRow("null") << MakeError(&AutomationError::invalidUseOfNull) << 94
                          << "Invalid use of Null";
    QTest::newRow("no such member") << MakeError(&AutomationError::objectDoesntSupport) << 438
                                    << "Object doesn't support this property or method";
    QTest::newRow("argument count") << MakeError(&AutomationError::wrongNumberOfArguments) << 450
                                    << "Wrong number of arguments or invalid property assignment";
    QTest::newRow("internal") << MakeError([] { return AutomationError::internal(); }) << 51
                              << "Internal error";
    QTest::newRow("internal, with what it said")
        << MakeError([] { return AutomationError::internal("bad_alloc"); }) << 51
        << "Internal error: bad_alloc";
    QTest::newRow("a card's own") << MakeError([] { return AutomationError(57, "a\r\nb"); }) << 57
                                  << "a\r\nb";
}

void tst_AutomationValue::errorTexts()
{
    QFETCH(MakeError, make);
    QFETCH(int, code);
    QFETCH(QString, description);

    const AutomationError error = make();
    QCOMPARE(error.code(), code);
    QCOMPARE(QString::fromStdString(error.description()), description);
    QCOMPARE(QString::fromUtf8(error.what()),
             QString("Run-time error '%1': %2").arg(code).arg(description));
    // The top-level report keeps to one line.
    QCOMPARE(QString::fromStdString(velmora::runtimeErrorLine(error)),
             QString("Velmora: Run-time error '%1': %2")
                 .arg(code)
                 .arg(QString(description).replace('\r', ' ').replace('\n', ' ')));
}

QTEST_APPLESS_MAIN(tst_AutomationValue)

#include "tst_automationvalue.moc"
