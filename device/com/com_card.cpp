#include "com/com_card.h"

#include "com/com_dispatch.h"
#include "com/com_error.h"
#include "com/com_support.h"

#include <array>

namespace velmora {

namespace {

constexpr int DeviceIoError = 57;

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
        return DispatchOutcome::failure(DeviceIoError, info().name + ": the control is not open");
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

CardOffer findComControl(const std::wstring &progId)
{
    CardOffer offer;
    offer.info = ComCard(progId).info();
    CLSID clsid{};
    const HRESULT hr = CLSIDFromProgID(progId.c_str(), &clsid);
    if (FAILED(hr)) {
        const DispatchStatus status = statusFromHresult(hr);
        if (status.code == 429) {
            offer.status = "not installed (" + status.description + ")";
            offer.fix = "install the card maker's software, which registers TARVOOCX.OCX, or "
                        "choose the simulated card";
        } else {
            offer.status = status.description;
        }
        return offer;
    }
    offer.usable = true;
    offer.status = "Ready";
    offer.make = [progId] {
        return std::make_unique<ComCard>(progId);
    };
    return offer;
}

} // namespace velmora
