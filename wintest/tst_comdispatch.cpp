// ComDispatch against our own test control: what reaches the control, what comes back, and what
// every failure is raised as.

#include "automation/automation_error.h"
#include "automation/device_control.h"
#include "com/com_dispatch.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using velmora::AutomationError;
using velmora::AutomationValue;
using velmora::ComApartment;
using velmora::ComDispatch;
using velmora::DeviceControl;
using velmora::DispatchId;
using velmora::DispatchOutcome;

namespace wt = velmora::wintest;

namespace {

std::unique_ptr<ComDispatch> createTestControl()
{
    velmora::ComCreation created = velmora::createComDispatch(wt::TestControlProgId);
    EXPECT_FALSE(created.status.failed) << created.status.description;
    EXPECT_NE(created.control, nullptr);
    return std::move(created.control);
}

std::string recorded(int id, const std::string &args)
{
    return "id=" + std::to_string(id) + " flags=3 lcid=1033 named=0 args=" + args;
}

// "Automation error 0x80004005: Unspecified error", with whatever words this system has.
std::string automationError(HRESULT hr)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(hr));
    const std::string words = wt::systemWords(hr);
    return std::string("Automation error ") + hex + (words.empty() ? "" : ": " + words);
}

// Table rows show as their names in GoogleTest's messages.
template<typename Row>
requires requires(const Row &row)
{
    row.name;
}
void PrintTo(const Row &row, std::ostream *out)
{
    *out << row.name;
}

std::int16_t g_byRefArgument = 7;

// ---- What the control receives ----------------------------------------------------------

struct ArgumentsRow {
    const char *name;
    DispatchId id;
    std::vector<AutomationValue> args;
    std::string expected; // the control's record, arguments in rgvarg order
};

class ComDispatchArguments : public testing::TestWithParam<ArgumentsRow> {};

TEST_P(ComDispatchArguments, ReachTheControlLastFirstAndTyped)
{
    const ArgumentsRow &row = GetParam();
    wt::script(L"reset");
    g_byRefArgument = 7;
    auto control = createTestControl();
    ASSERT_NE(control, nullptr);

    const DispatchOutcome outcome = control->invoke(row.id, row.args);
    EXPECT_FALSE(outcome.status.failed) << outcome.status.description;
    EXPECT_EQ(wt::lastCall(), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ComDispatchArguments,
    testing::Values(
        ArgumentsRow{"SelectDevice", 25, {}, recorded(25, "")},
        ArgumentsRow{"ConfigurePorts",
                     17,
                     {AutomationValue::longInteger(0), AutomationValue::integer(155)},
                     recorded(17, "i2:155,i4:0")},
        ArgumentsRow{
            "ReadPort",
            16,
            {AutomationValue::longInteger(1), AutomationValue::integerByRef(&g_byRefArgument)},
            recorded(16, "byref-i2:7,i4:1")},
        ArgumentsRow{"EveryKind",
                     wt::EchoId,
                     {AutomationValue::empty(), AutomationValue::null(),
                      AutomationValue::boolean(true), AutomationValue::boolean(false),
                      AutomationValue::integer(-2), AutomationValue::longInteger(70000),
                      AutomationValue::real(1.5),
                      AutomationValue::error(static_cast<std::int32_t>(0x80020004u)),
                      AutomationValue::string("On")},
                     recorded(wt::EchoId, "bstr[2]:\"On\",error:0x80020004,r8:1.5,i4:70000,"
                                          "i2:-2,bool:0,bool:-1,null,empty")},
        ArgumentsRow{"Strings",
                     wt::EchoId,
                     {AutomationValue::string(""),
                      AutomationValue::string("Gr\xC3\xBC\xC3\x9F"
                                              "e"),
                      AutomationValue::string(std::string("a\0b", 3)),
                      AutomationValue::string("\xF0\x9F\x94\x8C")},
                     recorded(wt::EchoId, "bstr[2]:\"\xF0\x9F\x94\x8C\",bstr[3]:\"a\\0b\","
                                          "bstr[5]:\"Gr\xC3\xBC\xC3\x9F"
                                          "e\",bstr[0]:\"\"")},
        ArgumentsRow{"Extremes",
                     wt::EchoId,
                     {AutomationValue::longInteger(std::numeric_limits<std::int32_t>::min()),
                      AutomationValue::integer(std::numeric_limits<std::int16_t>::max())},
                     recorded(wt::EchoId, "i2:32767,i4:-2147483648")}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ComDispatchNames, CallsByIdentifierOnlyNeverByNameNorTypeInformation)
{
    wt::script(L"reset");
    auto control = createTestControl();
    ASSERT_NE(control, nullptr);
    const wt::TestControlStats before = wt::stats();

    DeviceControl device(*control);
    std::int16_t value = 0;
    EXPECT_TRUE(device.SelectDevice());
    EXPECT_TRUE(device.ConfigurePorts(0, 155));
    EXPECT_TRUE(device.ReadPort(0, value));

    const wt::TestControlStats after = wt::stats();
    EXPECT_EQ(after.recordedCalls - before.recordedCalls, 3);
    EXPECT_EQ(after.idsOfNamesCalls, before.idsOfNamesCalls);
    EXPECT_EQ(after.typeInfoCalls, before.typeInfoCalls);
}

// ---- The by-reference argument --------------------------------------------------------------

struct WriteBackRow {
    const char *name;
    const wchar_t *command;
    std::int16_t before;
    std::int16_t after;
};

class ComDispatchWriteBack : public testing::TestWithParam<WriteBackRow> {};

TEST_P(ComDispatchWriteBack, ReachesTheCallersVariable)
{
    const WriteBackRow &row = GetParam();
    wt::script(L"reset");
    wt::script(row.command);
    auto control = createTestControl();
    ASSERT_NE(control, nullptr);

    DeviceControl device(*control);
    std::int16_t value = row.before;
    EXPECT_TRUE(device.ReadPort(1, value));
    EXPECT_EQ(value, row.after);
    EXPECT_EQ(wt::lastCall(), recorded(16, "byref-i2:" + std::to_string(row.before) + ",i4:1"));
}

INSTANTIATE_TEST_SUITE_P(Table, ComDispatchWriteBack,
                         testing::Values(WriteBackRow{"Lines", L"write 165", 0, 0xA5},
                                         WriteBackRow{"Zero", L"write 0", 7, 0},
                                         WriteBackRow{"Negative", L"write -2", 7, -2},
                                         WriteBackRow{"Largest", L"write 32767", 0, 32767},
                                         WriteBackRow{"Smallest", L"write -32768", 0, -32768},
                                         WriteBackRow{"NoWrite", L"reset", 7, 7}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- What comes back ------------------------------------------------------------------------

struct ResultRow {
    const char *name;
    const wchar_t *command;
    AutomationValue expected;
};

class ComDispatchResults : public testing::TestWithParam<ResultRow> {};

TEST_P(ComDispatchResults, BecomeOurValues)
{
    const ResultRow &row = GetParam();
    wt::script(row.command);
    {
        auto control = createTestControl();
        ASSERT_NE(control, nullptr);
        const DispatchOutcome outcome = control->invoke(25, {});
        ASSERT_FALSE(outcome.status.failed) << outcome.status.description;
        EXPECT_EQ(outcome.result, row.expected);
    }
    // An object result is released with the rest.
    EXPECT_EQ(wt::stats().liveObjects, 0);
}

const AutomationValue NoReading = AutomationValue::error(DISP_E_TYPEMISMATCH);

INSTANTIATE_TEST_SUITE_P(
    Table, ComDispatchResults,
    testing::Values(ResultRow{"Empty", L"result empty", AutomationValue::empty()},
                    ResultRow{"Null", L"result null", AutomationValue::null()},
                    ResultRow{"True", L"result bool -1", AutomationValue::boolean(true)},
                    ResultRow{"False", L"result bool 0", AutomationValue::boolean(false)},
                    ResultRow{"BoolOne", L"result bool 1", AutomationValue::boolean(true)},
                    ResultRow{"I2", L"result i2 5", AutomationValue::integer(5)},
                    ResultRow{"I4", L"result i4 -7", AutomationValue::longInteger(-7)},
                    ResultRow{"R8", L"result r8 0.5", AutomationValue::real(0.5)},
                    ResultRow{"Bstr", L"result bstr True", AutomationValue::string("True")},
                    ResultRow{"BstrSpaces", L"result bstr  12 ", AutomationValue::string(" 12 ")},
                    ResultRow{"BstrEmpty", L"result bstr", AutomationValue::string("")},
                    ResultRow{"BstrUnicode", L"result bstr Gr\u00FC\u00DFe",
                              AutomationValue::string("Gr\xC3\xBC\xC3\x9F"
                                                      "e")},
                    ResultRow{"Error", L"result error 0x80020004",
                              AutomationValue::error(static_cast<std::int32_t>(0x80020004u))},
                    ResultRow{"I1", L"result i1 -5", AutomationValue::longInteger(-5)},
                    ResultRow{"UI1", L"result ui1 200", AutomationValue::longInteger(200)},
                    ResultRow{"UI2", L"result ui2 65535", AutomationValue::longInteger(65535)},
                    ResultRow{"UI4Small", L"result ui4 7", AutomationValue::longInteger(7)},
                    ResultRow{"UI4Large", L"result ui4 4294967295",
                              AutomationValue::real(4294967295.0)},
                    ResultRow{"Int", L"result int -3", AutomationValue::longInteger(-3)},
                    ResultRow{"UIntLarge", L"result uint 3000000000", AutomationValue::real(3e9)},
                    ResultRow{"I8Small", L"result i8 12", AutomationValue::longInteger(12)},
                    ResultRow{"I8Large", L"result i8 -9223372036854775807",
                              AutomationValue::real(-9223372036854775807.0)},
                    ResultRow{"UI8Large", L"result ui8 18446744073709551615",
                              AutomationValue::real(18446744073709551615.0)},
                    ResultRow{"R4", L"result r4 0.25", AutomationValue::real(0.25)},
                    ResultRow{"Currency", L"result cy 15000", AutomationValue::real(1.5)},
                    ResultRow{"CurrencySmallest", L"result cy 1", AutomationValue::real(0.0001)},
                    ResultRow{"Date", L"result date 1.5", AutomationValue::real(1.5)},
                    ResultRow{"Decimal", L"result decimal 2.5", AutomationValue::real(2.5)},
                    ResultRow{"ByRefI2", L"result byref-i2 9", AutomationValue::integer(9)},
                    ResultRow{"Dispatch", L"result dispatch", NoReading},
                    ResultRow{"Unknown", L"result unknown", NoReading},
                    ResultRow{"Array", L"result array", NoReading}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Failures -------------------------------------------------------------------------------

struct ErrorRow {
    const char *name;
    const wchar_t *command;
    int code;
    std::string description; // empty: "Automation error 0x...: " and the system's words
};

class ComDispatchErrors : public testing::TestWithParam<ErrorRow> {};

// Raised through DeviceControl as the program raises it, and nothing the control handed out is
// left behind or freed twice.
TEST_P(ComDispatchErrors, AreRaisedWithTheirNumberAndDescription)
{
    const ErrorRow &row = GetParam();
    wt::script(L"reset");
    wt::script(row.command);
    auto control = createTestControl();
    ASSERT_NE(control, nullptr);
    std::string description = row.description;
    if (description.empty())
        description = automationError(static_cast<HRESULT>(static_cast<std::uint32_t>(row.code)));

    auto &memory = wt::TaskMemoryCounter::instance();
    const std::size_t outstanding = memory.outstanding();
    const long badFrees = memory.badFrees();
    DeviceControl device(*control);
    try {
        device.ConfigurePorts(0, 155);
        ADD_FAILURE() << "nothing raised";
    } catch (const AutomationError &e) {
        EXPECT_EQ(e.code(), row.code);
        EXPECT_EQ(e.description(), description);
    }
    EXPECT_EQ(memory.outstanding(), outstanding);
    EXPECT_EQ(memory.badFrees(), badFrees);
}

constexpr int Hr(std::uint32_t hr)
{
    return static_cast<std::int32_t>(hr);
}

INSTANTIATE_TEST_SUITE_P(
    Hresults, ComDispatchErrors,
    testing::Values(
        ErrorRow{"MemberNotFound", L"fail hresult 0x80020003", 438,
                 "Object doesn't support this property or method"},
        ErrorRow{"UnknownName", L"fail hresult 0x80020006", 438,
                 "Object doesn't support this property or method"},
        ErrorRow{"TypeMismatch", L"fail hresult 0x80020005", 13, "Type mismatch"},
        ErrorRow{"BadParamCount", L"fail hresult 0x8002000E", 450,
                 "Wrong number of arguments or invalid property assignment"},
        ErrorRow{"ParamNotFound", L"fail hresult 0x80020004", 448, "Named argument not found"},
        ErrorRow{"ParamNotOptional", L"fail hresult 0x8002000F", 449, "Argument not optional"},
        ErrorRow{"NoNamedArgs", L"fail hresult 0x80020007", 446,
                 "Object doesn't support named arguments"},
        ErrorRow{"Overflow", L"fail hresult 0x8002000A", 6, "Overflow"},
        ErrorRow{"BadIndex", L"fail hresult 0x8002000B", 9, "Subscript out of range"},
        ErrorRow{"InvalidArg", L"fail hresult 0x80070057", 5, "Invalid procedure call or argument"},
        ErrorRow{"OutOfMemory", L"fail hresult 0x8007000E", 7, "Out of memory"},
        ErrorRow{"NoInterface", L"fail hresult 0x80004002", 430,
                 "Class does not support Automation or does not support expected interface"},
        ErrorRow{"ClassNotRegistered", L"fail hresult 0x80040154", 429,
                 "ActiveX component can't create object"},
        ErrorRow{"ClassString", L"fail hresult 0x800401F3", 429,
                 "ActiveX component can't create object"},
        ErrorRow{"ControlFacility", L"fail hresult 0x800A0039", 57, "Device I/O error"},
        ErrorRow{"ControlFacilityOwnNumber", L"fail hresult 0x800A1234", 0x1234,
                 "Application-defined or object-defined error"},
        ErrorRow{"Fail", L"fail hresult 0x80004005", Hr(0x80004005), ""},
        ErrorRow{"Unexpected", L"fail hresult 0x8000FFFF", Hr(0x8000FFFF), ""},
        ErrorRow{"Disconnected", L"fail hresult 0x80010108", Hr(0x80010108), ""},
        ErrorRow{"NoSystemWords", L"fail hresult 0x80047777", Hr(0x80047777), ""},
        // DISP_E_EXCEPTION with nothing filled in.
        ErrorRow{"BareException", L"fail hresult 0x80020009", Hr(0x80020009), ""}),
    [](const auto &info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Exceptions, ComDispatchErrors,
    testing::Values(
        ErrorRow{"ControlFacility", L"fail exception 0x800A0039 0 Port 1 does not answer", 57,
                 "Port 1 does not answer"},
        ErrorRow{"ControlFacilityStandardWords", L"fail exception 0x800A0039 0", 57,
                 "Device I/O error"},
        ErrorRow{"ControlFacilityOwnNumber", L"fail exception 0x800A1234 0", 0x1234,
                 "Application-defined or object-defined error"},
        ErrorRow{"WCode", L"fail exception 0 1001 Card busy", 1001, "Card busy"},
        ErrorRow{"WCodeStandardWords", L"fail exception 0 57", 57, "Device I/O error"},
        ErrorRow{"WCodeOwnNumber", L"fail exception 0 2000", 2000,
                 "Application-defined or object-defined error"},
        ErrorRow{"HresultOwnWords", L"fail exception 0x80004005 0 The card is gone", Hr(0x80004005),
                 "The card is gone"},
        ErrorRow{"HresultSystemWords", L"fail exception 0x80004005 0", Hr(0x80004005), ""},
        ErrorRow{"KnownHresult", L"fail exception 0x80020005 0", 13, "Type mismatch"},
        ErrorRow{"NeitherCode", L"fail exception 0 0", Hr(0x80020009), ""},
        ErrorRow{"UnicodeWords", L"fail exception 0x800A0039 0 Ger\u00E4t antwortet nicht", 57,
                 "Ger\xC3\xA4t antwortet nicht"},
        ErrorRow{"Deferred", L"fail deferred 0x800A0039 0 Filled in later", 57, "Filled in later"},
        ErrorRow{"DeferredWCode", L"fail deferred 0 1001 Card busy", 1001, "Card busy"},
        ErrorRow{"DeferredStandardWords", L"fail deferred 0x800A0039 0", 57, "Device I/O error"}),
    [](const auto &info) { return std::string(info.param.name); });

struct RefusalRow {
    const char *name;
    DispatchId id;
    std::vector<AutomationValue> args;
    int code;
};

class ComDispatchRefusals : public testing::TestWithParam<RefusalRow> {};

// What the control itself refuses, unscripted.
TEST_P(ComDispatchRefusals, AreRaisedAsTheStandardErrors)
{
    const RefusalRow &row = GetParam();
    wt::script(L"reset");
    wt::script(L"write 1");
    auto control = createTestControl();
    ASSERT_NE(control, nullptr);
    const DispatchOutcome outcome = control->invoke(row.id, row.args);
    EXPECT_TRUE(outcome.status.failed);
    EXPECT_EQ(outcome.status.code, row.code) << outcome.status.description;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ComDispatchRefusals,
    testing::Values(RefusalRow{"UnknownIdentifier", 99, {}, 438},
                    RefusalRow{"TooFewArguments", 17, {AutomationValue::longInteger(0)}, 450},
                    RefusalRow{"TooManyArguments", 25, {AutomationValue::longInteger(0)}, 450},
                    RefusalRow{"ByValueWhereByReference",
                               16,
                               {AutomationValue::longInteger(0), AutomationValue::integer(0)},
                               13},
                    // Refused before the call: a control would write through it.
                    RefusalRow{
                        "NullReference",
                        16,
                        {AutomationValue::longInteger(0), AutomationValue::integerByRef(nullptr)},
                        13}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Memory and references ------------------------------------------------------------------

struct MemoryRow {
    const char *name;
    const wchar_t *command;
};

class ComDispatchMemory : public testing::TestWithParam<MemoryRow> {};

TEST_P(ComDispatchMemory, EverythingACallTakesIsFreedOnce)
{
    wt::script(L"reset");
    wt::script(GetParam().command);
    auto &memory = wt::TaskMemoryCounter::instance();
    {
        auto control = createTestControl();
        ASSERT_NE(control, nullptr);
        const std::size_t outstanding = memory.outstanding();
        const long badFrees = memory.badFrees();
        const std::array args{AutomationValue::string("an argument"), AutomationValue::string(""),
                              AutomationValue::longInteger(1)};
        for (int i = 0; i < 3; ++i)
            control->invoke(wt::EchoId, args);
        EXPECT_EQ(memory.outstanding(), outstanding);
        EXPECT_EQ(memory.badFrees(), badFrees);
        EXPECT_EQ(wt::stats().liveObjects, 1);
    }
    EXPECT_EQ(wt::stats().liveObjects, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ComDispatchMemory,
    testing::Values(MemoryRow{"Boolean", L"result bool -1"},
                    MemoryRow{"String", L"result bstr a result"},
                    MemoryRow{"ByRefI2", L"result byref-i2 3"}, MemoryRow{"Array", L"result array"},
                    MemoryRow{"Dispatch", L"result dispatch"},
                    MemoryRow{"Unknown", L"result unknown"},
                    MemoryRow{"Decimal", L"result decimal 1.5"},
                    MemoryRow{"Exception", L"fail exception 0x800A0039 0 Device gone"},
                    MemoryRow{"ExceptionWithoutWords", L"fail exception 0x800A0039 0"},
                    MemoryRow{"Deferred", L"fail deferred 0 1001 Card busy"},
                    MemoryRow{"Hresult", L"fail hresult 0x80004005"}),
    [](const auto &info) { return std::string(info.param.name); });

IDispatch *createRawControl()
{
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(wt::TestControlProgId, &clsid), S_OK);
    IDispatch *raw = nullptr;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void **>(&raw)),
              S_OK);
    return raw;
}

TEST(ComDispatchReferences, TakesItsOwnReferenceToAHostedControl)
{
    wt::script(L"reset");
    IDispatch *raw = createRawControl();
    ASSERT_NE(raw, nullptr);
    {
        // As after QAxWidget::queryInterface: the caller releases its own reference at once.
        ComDispatch control(raw);
        raw->Release();
        EXPECT_EQ(wt::stats().liveObjects, 1);
        EXPECT_FALSE(control.invoke(25, {}).status.failed);
        EXPECT_EQ(control.get(), raw);
    }
    EXPECT_EQ(wt::stats().liveObjects, 0);
}

TEST(ComDispatchReferences, LeavesTheCallersReferenceAlone)
{
    IDispatch *raw = createRawControl();
    ASSERT_NE(raw, nullptr);
    {
        ComDispatch control(raw);
    }
    EXPECT_EQ(wt::stats().liveObjects, 1);
    EXPECT_EQ(raw->Release(), 0u);
    EXPECT_EQ(wt::stats().liveObjects, 0);
}

TEST(ComDispatchReferences, WithoutAnObjectEveryCallFailsWith91)
{
    ComDispatch control(nullptr);
    const DispatchOutcome outcome = control.invoke(25, {});
    EXPECT_TRUE(outcome.status.failed);
    EXPECT_EQ(outcome.status.code, 91);
    EXPECT_EQ(outcome.status.description, "Object variable or With block variable not set");
}

// ---- Creation -------------------------------------------------------------------------------

struct CreationRow {
    const char *name;
    const wchar_t *progId;
};

class ComDispatchCreation : public testing::TestWithParam<CreationRow> {};

TEST_P(ComDispatchCreation, OfAControlThatIsNotThereFailsWith429)
{
    const velmora::ComCreation created = velmora::createComDispatch(GetParam().progId);
    EXPECT_EQ(created.control, nullptr);
    EXPECT_TRUE(created.status.failed);
    EXPECT_EQ(created.status.code, 429);
    EXPECT_EQ(created.status.description, "ActiveX component can't create object");
}

INSTANTIATE_TEST_SUITE_P(Table, ComDispatchCreation,
                         testing::Values(CreationRow{"ProgIdNotRegistered", wt::MissingProgId},
                                         CreationRow{"ClassNotRegistered",
                                                     wt::UnregisteredClassProgId},
                                         CreationRow{"EmptyProgId", L""}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ComDispatchCreation, MakesOneObjectAndReleasesIt)
{
    EXPECT_EQ(wt::stats().liveObjects, 0);
    auto control = createTestControl();
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(wt::stats().liveObjects, 1);
    control.reset();
    EXPECT_EQ(wt::stats().liveObjects, 0);
}

// ---- The apartment --------------------------------------------------------------------------

TEST(ComApartment, NestedOnTheSameThreadLeavesCOMRunning)
{
    {
        ComApartment nested; // S_FALSE: counted, and matched by its own uninitialisation
        EXPECT_TRUE(nested.usable());
        EXPECT_FALSE(nested.status().failed);
    }
    EXPECT_NE(createTestControl(), nullptr);
}

TEST(ComApartment, OnAFreshThreadInitialisesAndUninitialises)
{
    HRESULT afterwards = E_FAIL;
    bool usable = false;
    std::thread worker([&] {
        {
            ComApartment apartment;
            usable = apartment.usable();
        }
        // Succeeds with S_OK only where nothing is left initialised.
        afterwards = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(afterwards))
            CoUninitialize();
    });
    worker.join();
    EXPECT_TRUE(usable);
    EXPECT_EQ(afterwards, S_OK);
}

TEST(ComApartment, ToleratesAThreadAlreadyInTheMultithreadedApartment)
{
    HRESULT first = E_FAIL;
    HRESULT afterwards = E_FAIL;
    bool usable = false;
    std::thread worker([&] {
        first = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        {
            ComApartment apartment; // RPC_E_CHANGED_MODE: must not uninitialise
            usable = apartment.usable();
        }
        afterwards = CoInitializeEx(nullptr, COINIT_MULTITHREADED); // still ours: S_FALSE
        if (SUCCEEDED(afterwards))
            CoUninitialize();
        if (SUCCEEDED(first))
            CoUninitialize();
    });
    worker.join();
    EXPECT_EQ(first, S_OK);
    EXPECT_TRUE(usable);
    EXPECT_EQ(afterwards, S_FALSE);
}

// ---- Objects read through their default value ------------------------------------------------

struct DefaultValueRow {
    const char *name;
    const wchar_t *result;       // the object the call answers
    const wchar_t *defaultValue; // its default value's script; null: it has none
    AutomationValue expected;
};

class ComDispatchDefaultValue : public testing::TestWithParam<DefaultValueRow> {};

TEST_P(ComDispatchDefaultValue, IsWhatAnObjectResultReadsAs)
{
    const DefaultValueRow &row = GetParam();
    wt::script(L"reset");
    wt::script(row.result);
    if (row.defaultValue != nullptr)
        wt::script(row.defaultValue);
    const LONG asked = wt::stats().defaultValueCalls;
    {
        auto control = createTestControl();
        ASSERT_NE(control, nullptr);
        const DispatchOutcome outcome = control->invoke(25, {});
        ASSERT_FALSE(outcome.status.failed) << outcome.status.description;
        EXPECT_EQ(outcome.result, row.expected);
    }
    EXPECT_GT(wt::stats().defaultValueCalls, asked);
    EXPECT_EQ(wt::stats().liveObjects, 0); // the object and its default value are released
}

INSTANTIATE_TEST_SUITE_P(
    Table, ComDispatchDefaultValue,
    testing::Values(DefaultValueRow{"True", L"result dispatch", L"default bool -1",
                                    AutomationValue::boolean(true)},
                    DefaultValueRow{"False", L"result dispatch", L"default bool 0",
                                    AutomationValue::boolean(false)},
                    DefaultValueRow{"Number", L"result dispatch", L"default i4 7",
                                    AutomationValue::longInteger(7)},
                    DefaultValueRow{"Text", L"result dispatch", L"default bstr On",
                                    AutomationValue::string("On")},
                    DefaultValueRow{"ThroughIUnknown", L"result unknown", L"default bool -1",
                                    AutomationValue::boolean(true)},
                    DefaultValueRow{"NoDefaultValue", L"result dispatch", nullptr, NoReading},
                    // Its default value is itself: read a few levels deep, then given up.
                    DefaultValueRow{"DefaultIsItself", L"result dispatch", L"default dispatch",
                                    NoReading}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ComDispatchDefaultValue, ObjectWhoseDefaultIsTrueSelectsTheCard)
{
    wt::script(L"reset");
    wt::script(L"result dispatch");
    wt::script(L"default bool -1");
    auto control = createTestControl();
    ASSERT_NE(control, nullptr);
    DeviceControl device(*control);
    EXPECT_TRUE(device.SelectDevice()); // no longer 13 "Type mismatch"
}

// ---- Failures that have their own numbers ---------------------------------------------------

struct NumberedRow {
    const char *name;
    HRESULT hr;
    int code;
    std::string words; // the standard description
    bool systemWords;  // the system's own words follow in parentheses
};

class ComDispatchNumbers : public testing::TestWithParam<NumberedRow> {};

TEST_P(ComDispatchNumbers, AreRaisedAsCallersKnowThem)
{
    const NumberedRow &row = GetParam();
    wt::script(L"reset");
    char command[64];
    std::snprintf(command, sizeof command, "fail hresult 0x%08lX",
                  static_cast<unsigned long>(row.hr));
    wt::script(std::wstring(command, command + std::strlen(command)));
    auto control = createTestControl();
    ASSERT_NE(control, nullptr);
    DeviceControl device(*control);
    std::string expected = row.words;
    if (row.systemWords && !wt::systemWords(row.hr).empty())
        expected += " (" + wt::systemWords(row.hr) + ")";
    try {
        device.ConfigurePorts(0, 155);
        ADD_FAILURE() << "nothing raised";
    } catch (const AutomationError &e) {
        EXPECT_EQ(e.code(), row.code);
        EXPECT_EQ(e.description(), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ComDispatchNumbers,
    testing::Values(
        NumberedRow{"AccessDenied", E_ACCESSDENIED, 70, "Permission denied", true},
        NumberedRow{"SharingViolation", HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), 70,
                    "Permission denied", true},
        NumberedRow{"Busy", HRESULT_FROM_WIN32(ERROR_BUSY), 70, "Permission denied", true},
        NumberedRow{"DeviceGone", HRESULT_FROM_WIN32(ERROR_DEV_NOT_EXIST), 68, "Device unavailable",
                    true},
        NumberedRow{"NotImplemented", E_NOTIMPL, 445, "Object doesn't support this action", false},
        NumberedRow{"BadVarType", DISP_E_BADVARTYPE, 458,
                    "Variable uses an Automation type not supported", false}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- The binding's reference during a call ----------------------------------------------------

// Gives the control `callback`, to be called from inside its next recorded call.
void setCallback(IDispatch *control, IDispatch *callback)
{
    VARIANT arg;
    VariantInit(&arg);
    V_VT(&arg) = VT_DISPATCH;
    V_DISPATCH(&arg) = callback;
    DISPPARAMS params{&arg, nullptr, 1, 0};
    ASSERT_EQ(control->Invoke(wt::CallbackId, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr,
                              nullptr, nullptr),
              S_OK);
}

TEST(ComDispatchReferences, ABindingDestroyedInsideItsOwnCallLeavesTheControlAliveToTheEnd)
{
    wt::script(L"reset");
    IDispatch *raw = createRawControl();
    ASSERT_NE(raw, nullptr);
    auto binding = std::make_unique<ComDispatch>(raw);
    raw->Release(); // the binding's reference is now the only one
    bool destroyed = false;
    wt::CallbackObject destroyTheBinding([&] {
        // A nested event, run by the control's own message loop, closes the window.
        binding.reset();
        destroyed = true;
    });
    setCallback(raw, &destroyTheBinding);
    const LONG freedBefore = wt::stats().freedDuringCall;

    ComDispatch *calling = binding.get();
    const DispatchOutcome outcome = calling->invoke(25, {});

    EXPECT_TRUE(destroyed);
    EXPECT_EQ(wt::stats().freedDuringCall, freedBefore);
    EXPECT_FALSE(outcome.status.failed) << outcome.status.description;
    EXPECT_EQ(outcome.result, AutomationValue::boolean(true));
    EXPECT_EQ(wt::stats().liveObjects, 0); // released once the call was over
    EXPECT_EQ(destroyTheBinding.references(), 1);
}

// ---- Binding a control someone else hosts -----------------------------------------------------

TEST(ComDispatchHosted, TakesOverTheHostsReferenceAndKeepsItsOwn)
{
    wt::script(L"reset");
    IDispatch *raw = createRawControl();
    ASSERT_NE(raw, nullptr);
    IUnknown *handedOut = nullptr;
    ASSERT_EQ(raw->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&handedOut)), S_OK);
    velmora::ComCreation bound = velmora::adoptHostedControl(handedOut);
    ASSERT_NE(bound.control, nullptr) << bound.status.description;
    EXPECT_FALSE(bound.control->invoke(25, {}).status.failed);
    raw->Release(); // the host lets go of the control: the binding still holds it
    EXPECT_EQ(wt::stats().liveObjects, 1);
    bound.control.reset();
    EXPECT_EQ(wt::stats().liveObjects, 0);
}

struct HostedFailureRow {
    const char *name;
    bool automation;      // the object has IDispatch
    bool allocationFails; // making the binding throws
    int code;
};

class ComDispatchHostedFailure : public testing::TestWithParam<HostedFailureRow> {};

TEST_P(ComDispatchHostedFailure, ReleasesTheControlOnTheWayOut)
{
    const HostedFailureRow &row = GetParam();
    wt::script(L"reset");
    wt::UnknownOnly plain;
    IUnknown *handedOut = nullptr;
    if (row.automation) {
        IDispatch *raw = createRawControl();
        ASSERT_NE(raw, nullptr);
        handedOut = raw;
    } else {
        plain.AddRef(); // as QueryInterface hands it out
        handedOut = &plain;
    }
    if (row.allocationFails)
        wt::failNextAllocation();
    velmora::ComCreation bound = velmora::adoptHostedControl(handedOut);
    EXPECT_EQ(bound.control, nullptr);
    EXPECT_TRUE(bound.status.failed);
    EXPECT_EQ(bound.status.code, row.code) << bound.status.description;
    EXPECT_EQ(wt::stats().liveObjects, 0);
    EXPECT_EQ(plain.references(), 1);
}

INSTANTIATE_TEST_SUITE_P(Table, ComDispatchHostedFailure,
                         testing::Values(HostedFailureRow{"NoAutomation", false, false, 430},
                                         HostedFailureRow{"BindingCannotBeMade", true, true, 7}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ComDispatchHosted, NoControlAtAllIsACreationFailure)
{
    const velmora::ComCreation bound = velmora::adoptHostedControl(nullptr);
    EXPECT_EQ(bound.control, nullptr);
    EXPECT_EQ(bound.status.code, 429);
}

TEST(ComDispatchCreation, OfAControlWhoseServerFileIsMissingFailsWith429)
{
    const velmora::ComCreation created = velmora::createComDispatch(wt::MissingServerProgId);
    EXPECT_EQ(created.control, nullptr);
    EXPECT_EQ(created.status.code, 429);
    EXPECT_EQ(created.status.description.rfind("ActiveX component can't create object", 0), 0u)
        << created.status.description;
}

} // namespace
