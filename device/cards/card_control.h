#pragma once

#include "automation/dispatch.h"
#include "cards/card.h"
#include "cards/card_memory.h"

#include <functional>
#include <memory>

namespace velmora {

// The user's answer to the selection dialog.
struct CardChoice {
    enum class Outcome { Cancelled, KeepCurrent, Replace };
    Outcome outcome = Outcome::Cancelled;
    std::unique_ptr<Card> card; // already opened; only with Replace
};

// Where the selection dialog lives: device/ asks for a choice, ui/ shows it.
class CardSelector {
public:
    virtual ~CardSelector() = default;
    virtual CardChoice chooseCard(const Card &current) = 0;

protected:
    CardSelector() = default;
};

// The device control this program supplies where the card maker's cannot be hosted: it
// answers the three dispatch identifiers, checks the arguments as an automation server would,
// owns the current card and passes the port operations to it.
class CardControl final : public Dispatch {
public:
    using CardChanged = std::function<void(const CardInfo &)>;

    // Opens `initial`; a card that fails to open stays current and is opened afresh when the user
    // next acts on it (ConfigurePorts, ReadPort, or choosing it again in SelectDevice). Until it
    // opens, its operations report why, and SelectDevice goes straight to the selector.
    explicit CardControl(std::unique_ptr<Card> initial);
    ~CardControl() override;

    CardControl(const CardControl &) = delete;
    CardControl &operator=(const CardControl &) = delete;

    DispatchOutcome invoke(DispatchId id, std::span<const AutomationValue> args) override;

    const Card &card() const noexcept { return *m_card; }
    Card &card() noexcept { return *m_card; }
    void setSelector(CardSelector *selector) noexcept { m_selector = selector; }
    void setCardChangedCallback(CardChanged callback) { m_cardChanged = std::move(callback); }

    // Where each card the user chooses in SelectDevice is remembered for the next start; and
    // why the first card is the one it is. A choice that cannot be remembered still stands, and
    // its origin says why it was not kept.
    void setMemory(CardMemory *memory, CardOrigin origin = {});
    const CardOrigin &origin() const noexcept { return m_origin; }

    // Closes the current card; later port operations report the card released. Safe to call
    // more than once, and called by the destructor.
    void release() noexcept;

private:
    DispatchOutcome selectDevice(std::span<const AutomationValue> args);
    DispatchOutcome configurePorts(std::span<const AutomationValue> args);
    DispatchOutcome readPort(std::span<const AutomationValue> args);
    bool reopen();
    std::optional<DispatchOutcome> unavailable();
    bool rememberChoice(); // true: the origin changed

    std::unique_ptr<Card> m_card;
    DispatchStatus m_openStatus;
    bool m_released = false;
    CardSelector *m_selector = nullptr;
    CardChanged m_cardChanged;
    CardMemory *m_memory = nullptr;
    CardOrigin m_origin;
};

} // namespace velmora
