// The maker's control as a card: ComCard on its own, behind CardControl as the program drives
// it, and the catalog's row for it.

#include "automation/automation_error.h"
#include "automation/device_control.h"
#include "cards/card_control.h"
#include "com/com_card.h"
#include "com/com_dispatch.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

using velmora::AutomationError;
using velmora::AutomationValue;
using velmora::CardControl;
using velmora::ComCard;
using velmora::DeviceControl;

namespace wt = velmora::wintest;

namespace {

std::string recorded(int id, const std::string &args)
{
    return "id=" + std::to_string(id) + " flags=3 lcid=1033 named=0 args=" + args;
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

TEST(ComCard, IsTheMakersControl)
{
    EXPECT_EQ(std::wstring(velmora::MakerControlProgId), L"TARVOOCXLib.TarvoOcx");
    const velmora::CardInfo info = ComCard().info();
    EXPECT_EQ(info.name, "Card maker's device control");
    EXPECT_EQ(info.kind, "ActiveX control");
    EXPECT_EQ(info.location, "TARVOOCXLib.TarvoOcx");
}

TEST(ComCard, CreatesTheControlWhenOpenedAndReleasesItWhenClosed)
{
    wt::script(L"reset");
    ComCard card(wt::TestControlProgId);
    EXPECT_EQ(wt::stats().liveObjects, 0);
    ASSERT_FALSE(card.open().failed);
    EXPECT_EQ(wt::stats().liveObjects, 1);

    wt::script(L"write 60");
    const velmora::DispatchOutcome configured = card.configurePorts(0, 155);
    EXPECT_FALSE(configured.status.failed);
    EXPECT_EQ(configured.result, AutomationValue::boolean(true));
    EXPECT_EQ(wt::lastCall(), recorded(17, "i2:155,i4:0"));

    std::int16_t value = 5;
    EXPECT_FALSE(card.readPort(1, value).status.failed);
    EXPECT_EQ(value, 60);
    EXPECT_EQ(wt::lastCall(), recorded(16, "byref-i2:5,i4:1"));

    // SelectDevice is the control's own decision, answered as it is.
    wt::script(L"result bool 0");
    const auto selected = card.answerSelect();
    ASSERT_TRUE(selected.has_value());
    EXPECT_EQ(selected->result, AutomationValue::boolean(false));
    EXPECT_EQ(wt::lastCall(), recorded(25, ""));

    card.close();
    EXPECT_EQ(wt::stats().liveObjects, 0);
}

TEST(ComCard, ThatIsNotInstalledFailsToOpenWith429)
{
    ComCard card(wt::MissingProgId);
    const velmora::DispatchStatus status = card.open();
    EXPECT_TRUE(status.failed);
    EXPECT_EQ(status.code, 429);
    EXPECT_EQ(status.description, "ActiveX component can't create object");
    // The program's own dialog answers SelectDevice, so another card can still be chosen.
    EXPECT_FALSE(card.answerSelect().has_value());
    std::int16_t value = 0;
    EXPECT_TRUE(card.readPort(0, value).status.failed);
}

TEST(ComCard, LeavesAHostedControlToItsHost)
{
    wt::script(L"reset");
    velmora::ComCreation created = velmora::createComDispatch(wt::TestControlProgId);
    ASSERT_NE(created.control, nullptr);
    {
        ComCard card(wt::TestControlProgId, std::move(created.control));
        EXPECT_FALSE(card.open().failed);
        EXPECT_FALSE(card.configurePorts(0, 155).status.failed);
        card.close();
        EXPECT_EQ(wt::stats().liveObjects, 1);
    }
    EXPECT_EQ(wt::stats().liveObjects, 0);
}

struct EndToEndRow {
    const char *name;
    const wchar_t *command;
    int error; // 0: the read answers True
    std::string description;
};

class ComCardBehindCardControl : public testing::TestWithParam<EndToEndRow> {};

TEST_P(ComCardBehindCardControl, ReadsAPortAsTheProgramDoes)
{
    const EndToEndRow &row = GetParam();
    wt::script(L"reset");
    wt::script(L"write 165");
    {
        CardControl control(std::make_unique<ComCard>(wt::TestControlProgId));
        DeviceControl device(control);
        EXPECT_TRUE(device.ConfigurePorts(0, 155));
        wt::script(row.command);
        std::int16_t value = 0;
        try {
            EXPECT_TRUE(device.ReadPort(0, value));
            EXPECT_EQ(row.error, 0);
            EXPECT_EQ(value, 0xA5);
        } catch (const AutomationError &e) {
            EXPECT_EQ(e.code(), row.error);
            EXPECT_EQ(e.description(), row.description);
        }
        EXPECT_EQ(wt::lastCall(), recorded(16, "byref-i2:0,i4:0"));
    }
    EXPECT_EQ(wt::stats().liveObjects, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ComCardBehindCardControl,
    testing::Values(EndToEndRow{"True", L"result bool -1", 0, ""},
                    EndToEndRow{"TrueAsText", L"result bstr True", 0, ""},
                    EndToEndRow{"NoBooleanReading", L"result bstr abc", 13, "Type mismatch"},
                    EndToEndRow{"Null", L"result null", 94, "Invalid use of Null"},
                    EndToEndRow{"DeviceError", L"fail exception 0x800A0039 0 Port 0 is dead", 57,
                                "Port 0 is dead"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ComCardBehindCardControl, SelectDeviceIsTheControlsAnswer)
{
    wt::script(L"reset");
    CardControl control(std::make_unique<ComCard>(wt::TestControlProgId));
    DeviceControl device(control);
    wt::script(L"result bool 0");
    EXPECT_FALSE(device.SelectDevice());
    wt::script(L"result i2 -1");
    EXPECT_TRUE(device.SelectDevice());
    EXPECT_EQ(wt::lastCall(), recorded(25, ""));
}

TEST(FindComControl, OffersARegisteredControl)
{
    wt::script(L"reset");
    const velmora::CardOffer offer = velmora::findComControl(wt::TestControlProgId);
    EXPECT_TRUE(offer.usable);
    EXPECT_EQ(offer.status, "Ready");
    EXPECT_EQ(offer.info.location, "Velmora.TestControl");
    ASSERT_TRUE(offer.make);
    // Listing creates nothing; making creates the card, opening the control.
    EXPECT_EQ(wt::stats().liveObjects, 0);
    std::unique_ptr<velmora::Card> card = offer.make();
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(wt::stats().liveObjects, 0);
    EXPECT_FALSE(card->open().failed);
    EXPECT_EQ(wt::stats().liveObjects, 1);
    card.reset();
    EXPECT_EQ(wt::stats().liveObjects, 0);
}

TEST(FindComControl, SaysWhatToDoWhereTheControlIsNotInstalled)
{
    const velmora::CardOffer offer = velmora::findComControl(wt::MissingProgId);
    EXPECT_FALSE(offer.usable);
    EXPECT_EQ(offer.status, "not installed (ActiveX component can't create object)");
    EXPECT_EQ(offer.fix, "install the card maker's software, which registers TARVOOCX.OCX, or "
                         "choose the simulated card");
    EXPECT_FALSE(offer.make);
    EXPECT_EQ(offer.info.name, "Card maker's device control");
}

TEST(FindComControl, ShowsAMissingServerFileAsARowWithItsReason)
{
    const velmora::CardOffer offer = velmora::findComControl(wt::MissingServerProgId);
    EXPECT_FALSE(offer.usable);
    EXPECT_EQ(offer.status, "its server file " + wt::utf8(wt::MissingServerFile) + " is missing");
    EXPECT_NE(offer.fix.find("install the card maker's software again"), std::string::npos);
    EXPECT_FALSE(offer.make);
}

TEST(FindComControl, IsReadyOnlyAfterReallyCreatingTheControl)
{
    wt::script(L"reset");
    const wt::TestControlStats before = wt::stats();
    const velmora::ComControlCheck check = velmora::checkComControl(wt::TestControlProgId);
    EXPECT_FALSE(check.status.failed) << check.status.description;
    // One was made to find out, and let go again.
    EXPECT_NE(GetModuleHandleW(wt::TestControlDll), nullptr);
    EXPECT_EQ(wt::stats().liveObjects, before.liveObjects);
}

TEST(FindComControl, SaysWhyTheWindowCouldNotHostIt)
{
    wt::script(L"reset");
    const velmora::DispatchStatus hostFailure = velmora::DispatchStatus::failure(
        429, "ActiveX component can't create object: the control would not start on the window");
    const velmora::CardOffer offer = velmora::findComControl(wt::TestControlProgId, hostFailure);
    EXPECT_EQ(offer.status, "Ready, but not on the window: " + hostFailure.description);
    // It can still be created and used without its own window.
    EXPECT_TRUE(offer.usable);
    ASSERT_TRUE(offer.make);

    // Where it cannot be created now either, the fresh reason is the row's.
    const velmora::CardOffer missing = velmora::findComControl(wt::MissingProgId, hostFailure);
    EXPECT_FALSE(missing.usable);
    EXPECT_EQ(missing.status, "not installed (ActiveX component can't create object)");
}

} // namespace
