// Our Boolean reading of a control's result against the system's own conversion:
// toBoolean(fromVariant(v)) must agree with VariantChangeTypeEx(v, U.S. English, VT_BOOL) for
// every kind and every string, with one rule of our own: Null raises 94 "Invalid use of Null"
// where the conversion says only "type mismatch".
//
// Under Wine the system's conversion is Wine's (oleaut32 8.0), not Windows'. Where the two
// disagree, the row says so, holds us to our own rule and gives the reason; none of these cases
// is covered by Wine's conformance tests (dlls/oleaut32/tests/vartest.c, vartype.c), so where
// Windows stands is worked out from Wine's code, not recorded from Windows. A note is printed if
// Wine ever starts to agree.

#include "automation/automation_error.h"
#include "automation/automation_value.h"
#include "com/com_variant.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

using velmora::AutomationError;

namespace {

constexpr int NoError = 0;
constexpr int Mismatch = 13;
constexpr int Overflow = 6;
constexpr LCID UsEnglish = 0x0409;

struct Reading {
    int error = NoError;
    bool value = false;

    friend bool operator==(const Reading &, const Reading &) = default;
};

void PrintTo(const Reading &reading, std::ostream *out)
{
    if (reading.error == NoError)
        *out << (reading.value ? "True" : "False");
    else
        *out << "error " << reading.error;
}

struct BooleanRow {
    std::string name;
    std::function<void(VARIANT &)> make; // fills an initialised VARIANT, which is then cleared
    std::optional<Reading> ours;         // our rule, where Wine's conversion is known to differ
    const char *why = nullptr;
};

void PrintTo(const BooleanRow &row, std::ostream *out)
{
    *out << row.name;
}

Reading ourReading(const VARIANT &value)
{
    try {
        return {NoError, velmora::toBoolean(velmora::fromVariant(value))};
    } catch (const AutomationError &e) {
        return {e.code(), false};
    }
}

Reading systemReading(VARIANT &value)
{
    VARIANT out;
    VariantInit(&out);
    const HRESULT hr = VariantChangeTypeEx(&out, &value, UsEnglish, 0, VT_BOOL);
    Reading reading;
    if (SUCCEEDED(hr))
        reading = {NoError, V_BOOL(&out) != VARIANT_FALSE};
    else if (hr == DISP_E_TYPEMISMATCH)
        reading = {Mismatch, false};
    else if (hr == DISP_E_OVERFLOW)
        reading = {Overflow, false};
    else
        reading = {static_cast<int>(hr), false}; // no such answer expected: shows as a mismatch
    VariantClear(&out);
    // Our one rule of our own.
    if (V_VT(&value) == VT_NULL && reading.error == Mismatch)
        reading.error = velmora::error_code::InvalidUseOfNull;
    return reading;
}

std::string identifier(std::string text)
{
    for (char &c : text) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            c = '_';
    }
    return text;
}

class BooleanReading : public testing::TestWithParam<BooleanRow> {};

TEST_P(BooleanReading, AgreesWithTheSystemsConversion)
{
    const BooleanRow &row = GetParam();
    VARIANT value;
    VariantInit(&value);
    row.make(value);
    const Reading system = systemReading(value);
    const Reading ours = ourReading(value);
    VariantClear(&value);

    if (row.ours) {
        EXPECT_EQ(ours, *row.ours) << row.why;
        EXPECT_NE(system, *row.ours) << "Wine now agrees here; the row's note can go";
    } else {
        EXPECT_EQ(ours, system);
    }
}

// ---- rows -----------------------------------------------------------------------------------

template<typename Fill> BooleanRow row(std::string name, Fill fill)
{
    return {std::move(name), std::function<void(VARIANT &)>(fill), std::nullopt, nullptr};
}

BooleanRow text(const std::wstring &s)
{
    std::string name = "string_" + identifier(velmora::wintest::utf8(s)).substr(0, 40);
    return row(name, [s](VARIANT &v) {
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    });
}

struct WineDeviation {
    std::wstring text;
    Reading ours;
    const char *why;
};

// Every disagreement between Wine's VarBoolFromStr (by way of VarR8FromStr) and our reading.
const WineDeviation WineDeviations[] = {
    // Wine's digit loop adds each digit to a double with no overflow check, so 400 nines become
    // +infinity and read as True; the same magnitude as "1e400", which Wine itself says
    // overflows. Windows cannot hold it in a double either: ours is right.
    {std::wstring(400, L'9'), {Overflow, false}, "Wine: +infinity from unchecked digits"},

    // Wine scales by repeated multiplication and division by powers of ten, which is inexact at
    // the ends of the double's range: the largest double overflows and the smallest subnormals
    // become zero. Ours rounds exactly. Windows is not recorded for these.
    {L"1.7976931348623158e308", {NoError, true}, "Wine: inexact scaling overflows"},
    {L"2.4703282292062328e-324", {NoError, true}, "Wine: inexact scaling underflows to 0"},
    {L"4.9e-324", {NoError, true}, "Wine: inexact scaling underflows to 0"},

    // Wine's parser is laxer than our rule here. Windows is not recorded for these.
    {L"(1-",
     {Mismatch, false},
     "Wine: a trailing minus stands in for the missing closing parenthesis"},
    {L"1.5,5", {Mismatch, false}, "Wine: thousands separators accepted after the point"},
    {L"1e+-5", {Mismatch, false}, "Wine: any number of signs accepted in the exponent"},

    // &H and &O beyond 32 bits: Wine gives a double only for a value that fits a 32-bit Long
    // (or whose negation does), and its digit check also rejects 64-bit values whose first digit
    // is large. We accept the full 64 bits. Windows is not recorded for these: this one is worth
    // a run on Windows, since traditional hex literals stop at 32 bits.
    {L"&HFFFFFFFFFFFFFFFF", {NoError, true}, "Wine: hex beyond 32 bits overflows"},
    {L"&O1777777777777777777777", {NoError, true}, "Wine: octal beyond 32 bits overflows"},
    {L"&HFFFFFFFF", {NoError, true}, "Wine: hex beyond 32 bits overflows"},
    {L"&H100000000", {NoError, true}, "Wine: hex beyond 32 bits overflows"},
    {L"&H7FFFFFFFFFFFFFFF", {NoError, true}, "Wine: hex beyond 32 bits overflows"},
    {L"&H8000000000000000", {NoError, true}, "Wine: hex beyond 32 bits overflows"},
    {L"&O777777777777", {NoError, true}, "Wine: octal beyond 32 bits overflows"},
};

std::int16_t g_i2 = -1;
double g_r8 = 0.0;
BSTR g_bstr = nullptr;
VARIANT g_inner;
DECIMAL g_decimal;
CY g_currency;

std::vector<BooleanRow> kindRows()
{
    std::vector<BooleanRow> rows{
        row("empty", [](VARIANT &) {}),
        row("null", [](VARIANT &v) { V_VT(&v) = VT_NULL; }),
        row("bool_true", [](VARIANT &v) { V_VT(&v) = VT_BOOL, V_BOOL(&v) = VARIANT_TRUE; }),
        row("bool_false", [](VARIANT &v) { V_VT(&v) = VT_BOOL, V_BOOL(&v) = VARIANT_FALSE; }),
        row("bool_one", [](VARIANT &v) { V_VT(&v) = VT_BOOL, V_BOOL(&v) = 1; }),
        row("i1_minus_one", [](VARIANT &v) { V_VT(&v) = VT_I1, V_I1(&v) = -1; }),
        row("ui1_zero", [](VARIANT &v) { V_VT(&v) = VT_UI1, V_UI1(&v) = 0; }),
        row("ui1_255", [](VARIANT &v) { V_VT(&v) = VT_UI1, V_UI1(&v) = 255; }),
        row("i2_zero", [](VARIANT &v) { V_VT(&v) = VT_I2, V_I2(&v) = 0; }),
        row("i2_minus_one", [](VARIANT &v) { V_VT(&v) = VT_I2, V_I2(&v) = -1; }),
        row("ui2_65535", [](VARIANT &v) { V_VT(&v) = VT_UI2, V_UI2(&v) = 65535; }),
        row("i4_zero", [](VARIANT &v) { V_VT(&v) = VT_I4, V_I4(&v) = 0; }),
        row("i4_65536", [](VARIANT &v) { V_VT(&v) = VT_I4, V_I4(&v) = 65536; }),
        row("ui4_zero", [](VARIANT &v) { V_VT(&v) = VT_UI4, V_UI4(&v) = 0; }),
        row("ui4_max", [](VARIANT &v) { V_VT(&v) = VT_UI4, V_UI4(&v) = 0xFFFFFFFFu; }),
        row("int_minus_two", [](VARIANT &v) { V_VT(&v) = VT_INT, V_INT(&v) = -2; }),
        row("uint_max", [](VARIANT &v) { V_VT(&v) = VT_UINT, V_UINT(&v) = 0xFFFFFFFFu; }),
        row("i8_zero", [](VARIANT &v) { V_VT(&v) = VT_I8, V_I8(&v) = 0; }),
        row("i8_2_pow_32", [](VARIANT &v) { V_VT(&v) = VT_I8, V_I8(&v) = 0x100000000LL; }),
        row("i8_min",
            [](VARIANT &v) { V_VT(&v) = VT_I8, V_I8(&v) = std::numeric_limits<LONGLONG>::min(); }),
        row("ui8_max",
            [](VARIANT &v) {
                V_VT(&v) = VT_UI8, V_UI8(&v) = std::numeric_limits<ULONGLONG>::max();
            }),
        row("r4_zero", [](VARIANT &v) { V_VT(&v) = VT_R4, V_R4(&v) = 0.0f; }),
        row("r4_minus_zero", [](VARIANT &v) { V_VT(&v) = VT_R4, V_R4(&v) = -0.0f; }),
        row("r4_0_4", [](VARIANT &v) { V_VT(&v) = VT_R4, V_R4(&v) = 0.4f; }),
        row("r4_denormal",
            [](VARIANT &v) {
                V_VT(&v) = VT_R4, V_R4(&v) = std::numeric_limits<float>::denorm_min();
            }),
        row("r4_nan",
            [](VARIANT &v) {
                V_VT(&v) = VT_R4, V_R4(&v) = std::numeric_limits<float>::quiet_NaN();
            }),
        row("r8_zero", [](VARIANT &v) { V_VT(&v) = VT_R8, V_R8(&v) = 0.0; }),
        row("r8_minus_zero", [](VARIANT &v) { V_VT(&v) = VT_R8, V_R8(&v) = -0.0; }),
        row("r8_0_4", [](VARIANT &v) { V_VT(&v) = VT_R8, V_R8(&v) = 0.4; }),
        row("r8_denormal",
            [](VARIANT &v) {
                V_VT(&v) = VT_R8, V_R8(&v) = std::numeric_limits<double>::denorm_min();
            }),
        row("r8_infinity",
            [](VARIANT &v) {
                V_VT(&v) = VT_R8, V_R8(&v) = std::numeric_limits<double>::infinity();
            }),
        row("r8_nan",
            [](VARIANT &v) {
                V_VT(&v) = VT_R8, V_R8(&v) = std::numeric_limits<double>::quiet_NaN();
            }),
        row("cy_zero", [](VARIANT &v) { V_VT(&v) = VT_CY, V_CY(&v).int64 = 0; }),
        row("cy_smallest", [](VARIANT &v) { V_VT(&v) = VT_CY, V_CY(&v).int64 = 1; }),
        row("cy_minus_smallest", [](VARIANT &v) { V_VT(&v) = VT_CY, V_CY(&v).int64 = -1; }),
        row("date_zero", [](VARIANT &v) { V_VT(&v) = VT_DATE, V_DATE(&v) = 0.0; }),
        row("date_noon", [](VARIANT &v) { V_VT(&v) = VT_DATE, V_DATE(&v) = 0.5; }),
        row("error", [](VARIANT &v) { V_VT(&v) = VT_ERROR, V_ERROR(&v) = DISP_E_PARAMNOTFOUND; }),
        row("array",
            [](VARIANT &v) {
                V_VT(&v) = VT_ARRAY | VT_I2, V_ARRAY(&v) = SafeArrayCreateVector(VT_I2, 0, 1);
            }),
    };

    // DECIMALs, made by the system from text so their layout is the system's.
    for (const wchar_t *decimal :
         {L"0", L"0.0000000000000000000000000001", L"-1.5", L"79228162514264337593543950335"}) {
        rows.push_back(
            row("decimal_" + identifier(velmora::wintest::utf8(decimal)), [decimal](VARIANT &v) {
                DECIMAL d{};
                std::wstring copy(decimal);
                VarDecFromStr(copy.data(), UsEnglish, 0, &d);
                V_DECIMAL(&v) = d;
                V_VT(&v) = VT_DECIMAL;
            }));
    }

    // By reference: read through, never owned by the VARIANT.
    rows.push_back(row("byref_i2", [](VARIANT &v) {
        g_i2 = -1;
        V_VT(&v) = VT_BYREF | VT_I2, V_I2REF(&v) = &g_i2;
    }));
    rows.push_back(row("byref_r8_zero", [](VARIANT &v) {
        g_r8 = 0.0;
        V_VT(&v) = VT_BYREF | VT_R8, V_R8REF(&v) = &g_r8;
    }));
    rows.push_back(row("byref_bstr", [](VARIANT &v) {
        SysFreeString(g_bstr);
        g_bstr = SysAllocString(L"True");
        V_VT(&v) = VT_BYREF | VT_BSTR, V_BSTRREF(&v) = &g_bstr;
    }));
    rows.push_back(row("byref_variant_bstr", [](VARIANT &v) {
        VariantClear(&g_inner);
        V_VT(&g_inner) = VT_BSTR;
        V_BSTR(&g_inner) = SysAllocString(L"#FALSE#");
        V_VT(&v) = VT_BYREF | VT_VARIANT, V_VARIANTREF(&v) = &g_inner;
    }));
    rows.push_back(row("byref_decimal", [](VARIANT &v) {
        std::wstring copy(L"0.5");
        VarDecFromStr(copy.data(), UsEnglish, 0, &g_decimal);
        V_VT(&v) = VT_BYREF | VT_DECIMAL, V_DECIMALREF(&v) = &g_decimal;
    }));
    rows.push_back(row("byref_currency", [](VARIANT &v) {
        g_currency.int64 = 0;
        V_VT(&v) = VT_BYREF | VT_CY, V_CYREF(&v) = &g_currency;
    }));
    return rows;
}

std::vector<BooleanRow> stringRows()
{
    std::vector<BooleanRow> rows;
    const std::wstring strings[] = {
        // Words.
        L"True", L"true", L"tRuE", L"False", L"FALSE", L" True", L"True ", L"Tru", L"Yes",
        L"#TRUE#", L"#FALSE#", L"#true#", L" #TRUE#",
        // Nothing that is a number.
        L"", L" \t\r\n\v\f", L"\u00A0", L".", L"$", L"()", L"abc", L"1.2.3", L"0x10", L"1 000",
        // Plain decimals and white space.
        L"0", L"1", L"-1", L"+1", L"-0", L"0.0", L".0", L".5", L"0.4", L"  1  ", L" 12 ",
        L"\t\n0\r\n", L"\u00A01\u00A0",
        // Signs, parentheses, currency, thousands.
        L"1-", L"0-", L"+1+", L"(1)", L"(0)", L"(1", L"(1-", L"1)", L"$1", L"$-1", L"-$1", L"1$",
        L"1$$", L"$$1", L"$1e2", L"1,000", L"1,000,000.5", L"1,,0", L"1,", L",1", L"1.5,5",
        // Exponents.
        L"1e5", L"1E5", L"1e+5", L"1.5e-3", L"0e5", L"1e", L"1e+", L"1e+-5", L"1e5e5", L"1 e5",
        // Hexadecimal and octal.
        L"&H10", L"&h0", L"&H1e2", L"&HFFFFFFFFFFFFFFFF", L"&H000000000000000000001", L"-&H1",
        L"&O17", L"&o0", L"&O1777777777777777777777", L"&H10000000000000000",
        L"&O2000000000000000000000", L"&H", L"&HG", L"&H 1", L"&H1.5", L"&H1,000", L"$&H1", L"&H1$",
        L"&O8", L"&O18", L"&H10000000000000000X", L"&H80000000", L"&HFFFFFFFF", L"&H100000000",
        L"&H7FFFFFFFFFFFFFFF", L"&H8000000000000000", L"&O777777777777",
        // The double's range.
        L"1.7976931348623158e308", L"1.7976931348623159e308", L"1e400", L"-1e400", L"1e400x",
        L"1e-400", L"1e-320", L"0e400", L"2.4703282292062328e-324", L"2.4703282292062327e-324",
        L"1e308", L"1.5e308", L"4.9e-324", L"2e-324", std::wstring(400, L'9'),
        L"1" + std::wstring(308, L'0'), L"1" + std::wstring(309, L'0'),
        // NULs: the conversion stops at the first.
        std::wstring(L"True\0x", 6), std::wstring(L"1\0junk", 6),
        std::wstring(L"\0"
                     L"1",
                     2)};
    int index = 0;
    for (const std::wstring &s : strings) {
        BooleanRow r = text(s);
        r.name = "s" + std::to_string(index++) + "_" + r.name.substr(7);
        for (const WineDeviation &deviation : WineDeviations) {
            if (deviation.text == s) {
                r.ours = deviation.ours;
                r.why = deviation.why;
            }
        }
        rows.push_back(std::move(r));
    }
    return rows;
}

// Results no conversion could read through: no Boolean reading, and nothing dereferenced.
TEST(FromVariant, ReferencesThatCannotBeReadThroughHaveNoReading)
{
    VARIANT inner;
    VariantInit(&inner);
    V_VT(&inner) = VT_BYREF | VT_I2;
    V_I2REF(&inner) = &g_i2;

    VARIANT cases[3];
    for (VARIANT &v : cases)
        VariantInit(&v);
    V_VT(&cases[0]) = VT_BYREF | VT_I2; // a null reference
    V_I2REF(&cases[0]) = nullptr;
    V_VT(&cases[1]) = VT_BYREF | VT_VARIANT; // a reference to a reference
    V_VARIANTREF(&cases[1]) = &inner;
    V_VT(&cases[2]) = VT_BYREF | VT_DISPATCH; // an object, by reference
    IDispatch *none = nullptr;
    V_DISPATCHREF(&cases[2]) = &none;

    for (const VARIANT &v : cases)
        EXPECT_EQ(velmora::fromVariant(v), velmora::AutomationValue::error(DISP_E_TYPEMISMATCH));
}

INSTANTIATE_TEST_SUITE_P(Kinds, BooleanReading, testing::ValuesIn(kindRows()),
                         [](const auto &info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(Strings, BooleanReading, testing::ValuesIn(stringRows()),
                         [](const auto &info) { return info.param.name; });

} // namespace
