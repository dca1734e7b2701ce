#include "cards/card_control.h"

#include "automation/automation_error.h"

#include <exception>
#include <limits>

namespace velmora {

namespace {

DispatchOutcome raise(const AutomationError &error)
{
    return DispatchOutcome::failure(error.code(), error.description());
}

// By-value integer arguments accept either integer kind, as an automation server coerces them;
// a value out of the parameter's range overflows, any other kind mismatches.
template<typename Int>
std::optional<DispatchOutcome> readInteger(const AutomationValue &arg, Int &out)
{
    std::int32_t wide = 0;
    switch (arg.kind()) {
    case AutomationValue::Kind::Integer:
        wide = arg.asInteger();
        break;
    case AutomationValue::Kind::Long:
        wide = arg.asLong();
        break;
    default:
        return raise(AutomationError::typeMismatch());
    }
    if (wide < std::numeric_limits<Int>::min() || wide > std::numeric_limits<Int>::max())
        return raise(AutomationError::overflow());
    out = static_cast<Int>(wide);
    return std::nullopt;
}

} // namespace

CardControl::CardControl(std::unique_ptr<Card> initial)
    : m_card(std::move(initial))
{
    m_openStatus = m_card->open();
}

CardControl::~CardControl()
{
    release();
}

void CardControl::release() noexcept
{
    if (m_released)
        return;
    m_released = true;
    if (!m_openStatus.failed)
        m_card->close();
}

DispatchOutcome CardControl::invoke(DispatchId id, std::span<const AutomationValue> args)
{
    switch (id) {
    case dispatch_id::SelectDevice:
        return selectDevice(args);
    case dispatch_id::ConfigurePorts:
        return configurePorts(args);
    case dispatch_id::ReadPort:
        return readPort(args);
    default:
        return raise(AutomationError::objectDoesntSupport());
    }
}

bool CardControl::reopen()
{
    // A card that failed to open is opened afresh each time the user acts on it, so that the fix
    // its report names takes effect without restarting the program.
    if (m_openStatus.failed)
        m_openStatus = m_card->open();
    return !m_openStatus.failed;
}

std::optional<DispatchOutcome> CardControl::unavailable()
{
    if (m_released)
        return DispatchOutcome::failure(error_code::DeviceIoError,
                                        m_card->info().name + ": the card has been released");
    if (!reopen())
        return DispatchOutcome{m_openStatus, AutomationValue()};
    return std::nullopt;
}

DispatchOutcome CardControl::selectDevice(std::span<const AutomationValue> args)
{
    if (!args.empty())
        return raise(AutomationError::wrongNumberOfArguments());
    // Only a card that is open answers for itself; one that is not is a row in the list, where
    // the user can read why and choose it again or choose another.
    if (!m_openStatus.failed && !m_released) {
        if (auto answer = m_card->answerSelect())
            return std::move(*answer);
    }
    if (m_selector == nullptr)
        return DispatchOutcome::success(AutomationValue::boolean(true));

    CardChoice choice = m_selector->chooseCard(*m_card);
    switch (choice.outcome) {
    case CardChoice::Outcome::Cancelled:
        return DispatchOutcome::success(AutomationValue::boolean(false));
    case CardChoice::Outcome::KeepCurrent:
        // Chosen again: one that failed to open is tried afresh; a card that is open stays as
        // it is.
        if (!m_released && !reopen())
            return DispatchOutcome{m_openStatus, AutomationValue()};
        if (rememberChoice() && m_cardChanged)
            m_cardChanged(m_card->info());
        return DispatchOutcome::success(AutomationValue::boolean(true));
    case CardChoice::Outcome::Replace:
        break;
    }
    if (!choice.card)
        return DispatchOutcome::success(AutomationValue::boolean(false));
    // The new card arrives opened; the old one is closed only now, so a cancelled or failed
    // choice never leaves the control without a card.
    release();
    m_card = std::move(choice.card);
    m_openStatus = DispatchStatus::success();
    m_released = false;
    rememberChoice();
    if (m_cardChanged)
        m_cardChanged(m_card->info());
    return DispatchOutcome::success(AutomationValue::boolean(true));
}

void CardControl::setMemory(CardMemory *memory, CardOrigin origin)
{
    m_memory = memory;
    m_origin = std::move(origin);
}

bool CardControl::rememberChoice()
{
    // Chosen now, so whatever was said about how the card came first no longer applies.
    CardOrigin origin;
    try {
        if (m_memory != nullptr)
            m_memory->remember(m_card->info());
    } catch (const std::exception &error) {
        origin = {"not remembered",
                  std::string("Not remembered for the next start: ") + error.what()};
    }
    const bool changed = origin.tag != m_origin.tag || origin.detail != m_origin.detail;
    m_origin = std::move(origin);
    return changed;
}

DispatchOutcome CardControl::configurePorts(std::span<const AutomationValue> args)
{
    if (args.size() != 2)
        return raise(AutomationError::wrongNumberOfArguments());
    std::int32_t chip = 0;
    std::int16_t controlWord = 0;
    if (auto failed = readInteger(args[0], chip))
        return std::move(*failed);
    if (auto failed = readInteger(args[1], controlWord))
        return std::move(*failed);
    if (auto failed = unavailable())
        return std::move(*failed);
    return m_card->configurePorts(chip, controlWord);
}

DispatchOutcome CardControl::readPort(std::span<const AutomationValue> args)
{
    if (args.size() != 2)
        return raise(AutomationError::wrongNumberOfArguments());
    std::int32_t port = 0;
    if (auto failed = readInteger(args[0], port))
        return std::move(*failed);
    // The port value comes back through the caller's own variable, so nothing but a
    // reference to a 16-bit integer will do.
    if (args[1].kind() != AutomationValue::Kind::IntegerByRef ||
        args[1].asIntegerByRef() == nullptr)
        return raise(AutomationError::typeMismatch());
    if (auto failed = unavailable())
        return std::move(*failed);
    return m_card->readPort(port, *args[1].asIntegerByRef());
}

} // namespace velmora
