#include "com/com_card.h"

#include "com/com_dispatch.h"
#include "com/com_error.h"
#include "com/com_support.h"

#include "automation/automation_error.h"
#include "cards/card_error.h"

#include <array>
#include <filesystem>

namespace velmora {

namespace {

constexpr const char *InstallFix = "install the card maker's software, which registers "
                                   "TARVOOCX.OCX, or choose the simulated card";
constexpr const char *ReinstallFix = "install the card maker's software again, which puts "
                                     "TARVOOCX.OCX back in its place, or choose the simulated card";

std::wstring clsidText(const CLSID &clsid)
{
    std::array<wchar_t, 40> text{};
    const int length = StringFromGUID2(clsid, text.data(), static_cast<int>(text.size()));
    return length > 0 ? std::wstring(text.data()) : std::wstring();
}

// The file the class's server is registered as: InprocServer32, else LocalServer32 (without its
// command-line arguments), environment strings expanded. Empty where neither names one.
std::wstring registeredServerFile(const CLSID &clsid)
{
    for (const wchar_t *kind : {L"InprocServer32", L"LocalServer32"}) {
        const std::wstring key = L"CLSID\\" + clsidText(clsid) + L"\\" + kind;
        std::array<wchar_t, 1024> value{};
        DWORD size = sizeof(value) - sizeof(wchar_t);
        // REG_SZ alone: a REG_EXPAND_SZ value comes back expanded.
        if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr,
                         value.data(), &size) != ERROR_SUCCESS)
            continue;
        std::wstring file(value.data());
        if (!file.empty() && file.front() == L'"') {
            file = file.substr(1, file.find(L'"', 1) - 1);
        } else if (kind[0] == L'L') {
            for (const wchar_t *argument : {L" /", L" -"})
                file = file.substr(0, file.find(argument));
        }
        if (!file.empty())
            return file;
    }
    return {};
}

} // namespace

ComCard::ComCard(std::wstring progId)
    : m_progId(std::move(progId))
    , m_createsControl(true)
{}

ComCard::ComCard(std::wstring progId, std::unique_ptr<Dispatch> control)
    : m_progId(std::move(progId))
    , m_control(std::move(control))
    , m_createsControl(false)
{}

ComCard::~ComCard()
{
    close();
}

CardInfo ComCard::info() const
{
    return {"Card maker's device control", "ActiveX control", toUtf8(m_progId)};
}

DispatchStatus ComCard::open()
{
    if (!m_createsControl || m_control)
        return DispatchStatus::success();
    ComCreation created = createComDispatch(m_progId);
    if (!created.control)
        return created.status;
    m_control = std::move(created.control);
    return DispatchStatus::success();
}

void ComCard::close() noexcept
{
    // Only what open() made is released here; a hosted control belongs to its host.
    if (m_createsControl)
        m_control.reset();
}

DispatchOutcome ComCard::call(DispatchId id, std::span<const AutomationValue> args)
{
    if (!m_control)
        return DispatchOutcome::failure(error_code::DeviceIoError,
                                        cardErrorDescription(info(), "the control is not open"));
    return m_control->invoke(id, args);
}

DispatchOutcome ComCard::configurePorts(std::int32_t chip, std::int16_t controlWord)
{
    const std::array args{AutomationValue::longInteger(chip),
                          AutomationValue::integer(controlWord)};
    return call(dispatch_id::ConfigurePorts, args);
}

DispatchOutcome ComCard::readPort(std::int32_t port, std::int16_t &value)
{
    // The control writes the caller's own variable, during the call only.
    const std::array args{AutomationValue::longInteger(port),
                          AutomationValue::integerByRef(&value)};
    return call(dispatch_id::ReadPort, args);
}

std::optional<DispatchOutcome> ComCard::answerSelect()
{
    // Without its control (not installed, or it failed to open) the program's own selection
    // dialog answers, so the user can still choose another card.
    if (!m_control)
        return std::nullopt;
    return call(dispatch_id::SelectDevice, {});
}

ComControlCheck checkComControl(const std::wstring &progId)
{
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(progId.c_str(), &clsid);
    if (FAILED(hr)) {
        ComControlCheck check{creationFailure(hr), {}, {}};
        if (check.status.code == error_code::CannotCreateObject) {
            check.reason = "not installed (" + check.status.description + ")";
            check.fix = InstallFix;
        } else {
            check.reason = check.status.description;
        }
        return check;
    }
    // Registered, but its file may have gone (uninstalled by hand, a drive no longer there):
    // say which file, which the system's own words do not.
    const std::wstring file = registeredServerFile(clsid);
    std::error_code ec;
    if (std::filesystem::path(file).is_absolute() && !std::filesystem::exists(file, ec)) {
        const std::string reason = "its server file " + toUtf8(file) + " is missing";
        return {DispatchStatus::failure(
                    error_code::CannotCreateObject,
                    std::string(standardErrorText(error_code::CannotCreateObject)) + ": " + reason),
                reason, ReinstallFix};
    }
    // Made, and let go at once: only that shows the class can really be created.
    ComPtr<IDispatch> probe;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                          probe.putVoid());
    if (FAILED(hr) || !probe) {
        DispatchStatus status = FAILED(hr) ? creationFailure(hr) : statusFromHresult(E_NOINTERFACE);
        std::string reason = status.description;
        return {std::move(status), std::move(reason), ReinstallFix};
    }
    return {};
}

CardOffer findComControl(const std::wstring &progId, const DispatchStatus &hostFailure)
{
    CardOffer offer;
    offer.info = ComCard(progId).info();
    ComControlCheck check = checkComControl(progId);
    if (check.status.failed) {
        offer.status = std::move(check.reason);
        offer.fix = std::move(check.fix);
        return offer;
    }
    offer.usable = true;
    // It can be created, only not shown on the window: it still serves, without its own window.
    offer.status =
        hostFailure.failed ? "Ready, but not on the window: " + hostFailure.description : "Ready";
    offer.make = [progId] {
        return std::make_unique<ComCard>(progId);
    };
    return offer;
}

} // namespace velmora
