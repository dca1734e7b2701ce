#include "comedi/comedi_card.h"

#include "cards/ppi_control_word.h"

#include "automation/automation_error.h"
#include "cards/card_error.h"

#include <array>
#include <cerrno>
#include <system_error>

namespace velmora {

namespace {

constexpr unsigned MaxMinor = 47; // the comedi core's fixed minors
constexpr unsigned MinChannels = 16;
constexpr std::int32_t OnlyChip = 0;

// The channels of each port group of an 8255 subdevice.
struct PortGroup {
    unsigned firstChannel;
    unsigned channelCount;
    PpiControlWord::Group group;
};
constexpr std::array<PortGroup, 4> PortGroups{{
    {0, 8, PpiControlWord::Group::PortA},
    {8, 8, PpiControlWord::Group::PortB},
    {16, 4, PpiControlWord::Group::PortCLower},
    {20, 4, PpiControlWord::Group::PortCUpper},
}};

struct Problem {
    std::string status;
    std::string fix;
};

// Said apart from "permission denied": both would otherwise read as "cannot open".
Problem busy()
{
    return {"Busy, in use by another program", "close the program using it"};
}

// Why a node cannot be opened, in the system's words, and what the user can do about it.
Problem openProblem(ComediApi &api, int error)
{
    const std::string text = api.errorText(error);
    switch (error) {
    case EACCES:
    case EPERM:
        // Debian's udev rule for comedi gives the group 'iocard' access to the nodes.
        return {text, "add your user to the group 'iocard' and log in again"};
    case ENODEV:
        return {text, "configure the board first (comedi_config)"};
    case ENOTTY:
        return {"Not a comedi device (" + text + ")", {}};
    case EBUSY:
        return {busy().status + " (" + text + ")", busy().fix};
    case ENOENT:
    case ENXIO:
        return {text, "the board has gone; attach it again (comedi_config), then try again"};
    default:
        return {text, {}};
    }
}

// Why an instruction on an open device failed. File permissions were settled by the open, so
// the kernel refuses with EACCES only for another file's comedi_lock on the subdevice.
Problem useProblem(ComediApi &api, int error)
{
    switch (error) {
    case EACCES:
    case EBUSY:
        return busy();
    case ENODEV:
    case ENXIO:
    case ENOENT:
        return {api.errorText(error),
                "the board was detached; configure it again (comedi_config) and select the "
                "device again"};
    default:
        return {api.errorText(error), {}};
    }
}

CardOffer unusableOffer(CardInfo info, std::string status, std::string fix = {})
{
    CardOffer offer;
    offer.info = std::move(info);
    offer.usable = false;
    offer.status = std::move(status);
    offer.fix = std::move(fix);
    return offer;
}

bool isCardType(ComediSubdeviceType type)
{
    return type == ComediSubdeviceType::DigitalInput || type == ComediSubdeviceType::DigitalIO;
}

} // namespace

std::vector<CardOffer> findComediCards(ComediApi &api, const std::filesystem::path &devDir)
{
    std::vector<CardOffer> offers;
    // Minors need not be contiguous (comedi_config can attach any of them), so every one is
    // looked at.
    for (unsigned minor = 0; minor <= MaxMinor; ++minor) {
        const std::filesystem::path path = devDir / ("comedi" + std::to_string(minor));
        std::error_code ec;
        if (!std::filesystem::exists(std::filesystem::symlink_status(path, ec)))
            continue;
        const std::string node = path.string();

        int error = 0;
        const std::unique_ptr<ComediDevice> device = api.open(node, error);
        if (!device) {
            Problem problem = openProblem(api, error);
            offers.push_back(unusableOffer({node, "comedi", node}, std::move(problem.status),
                                           std::move(problem.fix)));
            continue;
        }

        const std::string board = device->boardName() + " (" + device->driverName() + ") " + node;
        bool found = false;
        const unsigned subdevices = device->subdeviceCount();
        for (unsigned subdevice = 0; subdevice < subdevices; ++subdevice) {
            const ComediSubdeviceType type = device->subdeviceType(subdevice);
            if (!isCardType(type) || device->channelCount(subdevice) < MinChannels)
                continue;
            found = true;
            const CardInfo info{board + ", subdevice " + std::to_string(subdevice),
                                type == ComediSubdeviceType::DigitalIO ? "comedi DIO" : "comedi DI",
                                node};
            if (device->heldElsewhere(subdevice)) {
                offers.push_back(unusableOffer(info, busy().status, busy().fix));
                continue;
            }
            CardOffer offer;
            offer.info = info;
            offer.usable = true;
            offer.status = "Ready";
            offer.make = [&api, node, subdevice, type, info] {
                return std::make_unique<ComediCard>(api, node, subdevice, type, info);
            };
            offers.push_back(std::move(offer));
        }
        if (!found)
            offers.push_back(unusableOffer({board, "comedi", node},
                                           "No digital-input subdevice with 16 or more channels"));
    }
    return offers;
}

ComediCard::ComediCard(ComediApi &api, std::string node, unsigned subdevice,
                       ComediSubdeviceType type, CardInfo info)
    : m_api(api)
    , m_node(std::move(node))
    , m_subdevice(subdevice)
    , m_type(type)
    , m_info(std::move(info))
{}

DispatchStatus ComediCard::open()
{
    if (m_device)
        return DispatchStatus::success();

    int error = 0;
    std::unique_ptr<ComediDevice> device = m_api.open(m_node, error);
    if (!device) {
        const Problem problem = openProblem(m_api, error);
        return cardFailure(m_info, errnoCode(error), problem.status, problem.fix);
    }

    // The board may have been detached or reconfigured since the list was shown.
    const unsigned channels =
        m_subdevice < device->subdeviceCount() ? device->channelCount(m_subdevice) : 0;
    if (m_subdevice >= device->subdeviceCount() || device->subdeviceType(m_subdevice) != m_type ||
        channels < MinChannels) {
        return DispatchStatus::failure(
            error_code::DeviceIoError,
            cardErrorDescription(m_info,
                                 "subdevice " + std::to_string(m_subdevice) + " is no longer a " +
                                     (m_type == ComediSubdeviceType::DigitalIO ? "DIO" : "DI") +
                                     " subdevice with 16 or more channels",
                                 "choose the card again in \"Select Device\""));
    }
    if (device->heldElsewhere(m_subdevice))
        return cardFailure(m_info, errnoCode(EBUSY), busy().status, busy().fix);
    m_device = std::move(device);
    m_channels = channels;
    return DispatchStatus::success();
}

void ComediCard::close() noexcept
{
    m_device.reset();
    m_channels = 0;
}

DispatchOutcome ComediCard::comediFailure(int error) const
{
    // A lock held elsewhere is a busy device, whatever number the kernel gives the refusal.
    const int code = error == EACCES ? EBUSY : error;
    const Problem problem = useProblem(m_api, error);
    return {cardFailure(m_info, errnoCode(code), problem.status, problem.fix), AutomationValue()};
}

DispatchOutcome ComediCard::notOpen() const
{
    return DispatchOutcome::failure(error_code::DeviceIoError,
                                    cardErrorDescription(m_info, "the device is not open"));
}

DispatchOutcome ComediCard::configurePorts(std::int32_t chip, std::int16_t controlWord)
{
    if (!m_device)
        return notOpen();
    if (chip != OnlyChip)
        return DispatchOutcome::boolean(false);
    const PpiControlWord word(controlWord);
    // Port C bit set/reset has no counterpart in comedi's direction calls, and comedi runs
    // an 8255 in mode 0 only.
    if (!word.isMode0())
        return DispatchOutcome::boolean(false);
    return m_type == ComediSubdeviceType::DigitalIO ? configureDio(word) : configureDi(word);
}

DispatchOutcome ComediCard::configureDio(PpiControlWord word)
{
    for (const PortGroup &group : PortGroups) {
        const bool output = !word.isInput(group.group);
        for (unsigned channel = group.firstChannel;
             channel < group.firstChannel + group.channelCount && channel < m_channels; ++channel) {
            if (const int error = m_device->dioConfig(m_subdevice, channel, output); error != 0)
                return comediFailure(error);
        }
    }
    return DispatchOutcome::boolean(true);
}

DispatchOutcome ComediCard::configureDi(PpiControlWord word) const
{
    // Inputs it can only be: asking for that is fine, asking for an output is not.
    for (const PortGroup &group : PortGroups) {
        if (group.firstChannel < m_channels && !word.isInput(group.group))
            return DispatchOutcome::boolean(false);
    }
    return DispatchOutcome::boolean(true);
}

DispatchOutcome ComediCard::readPort(std::int32_t port, std::int16_t &value)
{
    if (!m_device)
        return notOpen();
    if (port < 0)
        return DispatchOutcome::boolean(false);
    const std::uint64_t first = 8u * static_cast<std::uint64_t>(port);
    if (first + 8 > m_channels)
        return DispatchOutcome::boolean(false);

    // One read of the 32 lines around the port, from the multiple of 32 below it.
    const auto channel = static_cast<unsigned>(first);
    const unsigned base = channel / 32 * 32;
    std::uint32_t bits = 0;
    if (const int error = m_device->dioBitfield(m_subdevice, base, bits); error != 0)
        return comediFailure(error);
    value = static_cast<std::int16_t>((bits >> (channel - base)) & 0xFFu);
    return DispatchOutcome::boolean(true);
}

} // namespace velmora
