#pragma once

// The card maker's own device control as one card among the others. Windows only.

#include "automation/dispatch.h"
#include "cards/card.h"
#include "cards/card_catalog.h"

#include <memory>
#include <string>

namespace velmora {

// What the card maker's software registers its control as.
inline constexpr wchar_t MakerControlProgId[] = L"TARVOOCXLib.TarvoOcx";

// A card reached through the maker's control: the port operations go to its ConfigurePorts and
// ReadPort as they are, and SelectDevice to its own, which decides (and may show its own
// dialog). Needs COM on the calling thread (ComApartment).
class ComCard final : public Card {
public:
    // Creates the control registered as `progId` when opened, and releases it when closed.
    explicit ComCard(std::wstring progId = MakerControlProgId);
    // Drives a control someone else made or hosts; opening and closing leave it alone.
    ComCard(std::wstring progId, std::unique_ptr<Dispatch> control);
    ~ComCard() override;

    CardInfo info() const override;
    DispatchStatus open() override;
    void close() noexcept override;

    DispatchOutcome configurePorts(std::int32_t chip, std::int16_t controlWord) override;
    DispatchOutcome readPort(std::int32_t port, std::int16_t &value) override;
    std::optional<DispatchOutcome> answerSelect() override;

private:
    DispatchOutcome call(DispatchId id, std::span<const AutomationValue> args);

    std::wstring m_progId;
    std::unique_ptr<Dispatch> m_control;
    bool m_createsControl;
};

// Whether the control registered as `progId` can really be created: registered, its server file
// where the registration says, and an object made (and let go at once).
struct ComControlCheck {
    DispatchStatus status; // the error creating it raises: 429, or 70 where access was refused
    std::string reason;    // as the selection list says it
    std::string fix;
};
ComControlCheck checkComControl(const std::wstring &progId);

// The maker's control as the selection dialog lists it: usable where it can really be created,
// otherwise a row that says why and what to do about it. `hostFailure` is why the window could
// not host it, where it tried and failed; the row says so.
CardOffer findComControl(const std::wstring &progId = MakerControlProgId,
                         const DispatchStatus &hostFailure = DispatchStatus::success());

} // namespace velmora
