#include "gpio/gpio_card.h"

#include "cards/ppi_control_word.h"

#include "automation/automation_error.h"
#include "cards/card_error.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <system_error>
#include <unordered_map>

namespace velmora {

namespace {

constexpr const char *Consumer = "velmora";
constexpr const char *Kind = "GPIO chip";
constexpr const char *EnDash = "\xE2\x80\x93";
constexpr std::string_view NodePrefix = "gpiochip";

constexpr std::int32_t OnlyChip = 0;
constexpr std::size_t LinesPerPort = 8;

std::string errorText(int error)
{
    return std::generic_category().message(error);
}

// "0–7, 24–31": runs of consecutive offsets, in the order the lines are used.
std::string offsetRuns(const GpioLineOffsets &offsets)
{
    std::string text;
    std::size_t start = 0;
    while (start < offsets.size()) {
        std::size_t end = start;
        while (end + 1 < offsets.size() && offsets[end + 1] == offsets[end] + 1)
            ++end;
        if (!text.empty())
            text += ", ";
        text += std::to_string(offsets[start]);
        if (end != start)
            text += EnDash + std::to_string(offsets[end]);
        start = end + 1;
    }
    return text;
}

std::optional<GpioLineChoice> namedInputs(const std::vector<std::string> &lineNames)
{
    // Line names need not be unique; the first line with a name is the one it means.
    std::unordered_map<std::string_view, unsigned> firstWithName;
    for (unsigned offset = 0; offset < lineNames.size(); ++offset) {
        if (!lineNames[offset].empty())
            firstWithName.try_emplace(lineNames[offset], offset);
    }
    GpioLineChoice choice;
    for (std::size_t i = 0; i < GpioCardLineCount; ++i) {
        const auto found = firstWithName.find("IIN" + std::to_string(i));
        if (found == firstWithName.end())
            return std::nullopt;
        choice.offsets[i] = found->second;
    }
    choice.description =
        std::string("IIN0") + EnDash + "IIN15 (lines " + offsetRuns(choice.offsets) + ")";
    return choice;
}

// "PPI Group 0 Port B 3" -> prefix "PPI Group 0 ", slot 8 + 3.
bool parsePortLine(const std::string &name, std::string_view &prefix, std::size_t &slot)
{
    const std::size_t at = name.rfind("Port ");
    if (at == std::string::npos || name.size() != at + 8)
        return false;
    const char port = name[at + 5];
    const char bit = name[at + 7];
    if ((port != 'A' && port != 'B') || name[at + 6] != ' ' || bit < '0' || bit > '7')
        return false;
    prefix = std::string_view(name).substr(0, at);
    slot = (port == 'B' ? LinesPerPort : 0) + static_cast<std::size_t>(bit - '0');
    return true;
}

std::optional<GpioLineChoice> portGroup(const std::vector<std::string> &lineNames)
{
    struct Group {
        std::string_view prefix;
        std::array<std::optional<unsigned>, GpioCardLineCount> slots;
    };
    std::vector<Group> groups; // in the order the chip first names them
    for (unsigned offset = 0; offset < lineNames.size(); ++offset) {
        std::string_view prefix;
        std::size_t slot = 0;
        if (!parsePortLine(lineNames[offset], prefix, slot))
            continue;
        auto group =
            std::ranges::find_if(groups, [&](const Group &g) { return g.prefix == prefix; });
        if (group == groups.end())
            group = groups.insert(groups.end(), Group{prefix, {}});
        if (!group->slots[slot])
            group->slots[slot] = offset;
    }
    for (const Group &group : groups) {
        if (!std::ranges::all_of(group.slots, [](const auto &slot) { return slot.has_value(); }))
            continue;
        GpioLineChoice choice;
        std::ranges::transform(group.slots, choice.offsets.begin(),
                               [](const auto &slot) { return *slot; });
        choice.description =
            std::string(group.prefix) + "Port A/B (lines " + offsetRuns(choice.offsets) + ")";
        return choice;
    }
    return std::nullopt;
}

struct OpenProblem {
    std::string status;
    std::string fix;
};

OpenProblem openProblem(const std::string &node, int error)
{
    OpenProblem problem{errorText(error), {}};
    switch (error) {
    case EACCES:
    case EPERM:
        problem.fix = "create /etc/udev/rules.d/60-gpiochip.rules with: SUBSYSTEM==\"gpio\", "
                      "KERNEL==\"gpiochip*\", GROUP=\"gpio\", MODE=\"0660\" " +
                      std::string(EnDash) +
                      " then run 'sudo groupadd -f gpio', 'sudo usermod -aG gpio $USER', "
                      "'sudo udevadm trigger' and log in again";
        break;
    case EBUSY:
        problem.fix = "another program has it open; 'sudo fuser -v " + node +
                      "' shows which. Close that program, then try again";
        break;
    case ENOTTY:
        problem.fix = "this node is not a GPIO chip; nothing on it can be read as a card";
        break;
    case ENODEV:
    case ENXIO:
    case ENOENT:
        problem.fix = "the chip has gone (its device was removed or its driver unloaded); "
                      "load the driver again, then try again";
        break;
    default:
        break;
    }
    return problem;
}

std::optional<unsigned long> nodeNumber(const std::string &fileName)
{
    if (!fileName.starts_with(NodePrefix) || fileName.size() == NodePrefix.size())
        return std::nullopt;
    const char *first = fileName.data() + NodePrefix.size();
    const char *last = fileName.data() + fileName.size();
    if (!std::all_of(first, last, [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    unsigned long number = 0;
    if (std::from_chars(first, last, number).ec != std::errc())
        return std::nullopt;
    return number;
}

CardOffer offerFor(GpioApi &api, const std::string &node, const std::string &fileName)
{
    CardOffer offer;
    offer.info = {node, Kind, node};

    int error = 0;
    std::unique_ptr<GpioChip> chip = api.open(node, error);
    if (!chip) {
        OpenProblem problem = openProblem(node, error);
        offer.status = std::move(problem.status);
        offer.fix = std::move(problem.fix);
        return offer;
    }

    const std::string chipName = chip->name().empty() ? fileName : chip->name();
    const std::string label = chip->label();
    offer.info.name = label.empty() ? chipName : label + " (" + chipName + ")";

    const unsigned count = chip->lineCount();
    std::vector<std::string> lineNames;
    lineNames.reserve(count);
    for (unsigned offset = 0; offset < count; ++offset)
        lineNames.push_back(chip->lineName(offset));

    const std::optional<GpioLineChoice> choice = chooseGpioLines(lineNames);
    if (!choice) {
        offer.info.kind += ", " + std::to_string(count) + (count == 1 ? " line" : " lines");
        offer.status = "only " + std::to_string(count) + " of the " +
                       std::to_string(GpioCardLineCount) + " input lines a card needs";
        return offer;
    }
    offer.info.kind += ", " + choice->description;
    offer.usable = true;
    offer.status = "Ready";
    offer.make = [&api, node, offsets = choice->offsets, info = offer.info] {
        return std::make_unique<GpioCard>(api, node, offsets, info);
    };
    return offer;
}

} // namespace

std::optional<GpioLineChoice> chooseGpioLines(const std::vector<std::string> &lineNames)
{
    if (lineNames.size() < GpioCardLineCount)
        return std::nullopt;
    if (auto choice = namedInputs(lineNames))
        return choice;
    if (auto choice = portGroup(lineNames))
        return choice;
    GpioLineChoice choice;
    for (unsigned i = 0; i < GpioCardLineCount; ++i)
        choice.offsets[i] = i;
    choice.description = "lines " + offsetRuns(choice.offsets);
    return choice;
}

std::vector<CardOffer> findGpioCards(GpioApi &api, const std::filesystem::path &devDir)
{
    // Each node is opened on its own, so that one chip we may not open does not hide the rest.
    std::vector<std::pair<unsigned long, std::string>> nodes;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(devDir, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string fileName = it->path().filename().string();
        if (const auto number = nodeNumber(fileName))
            nodes.emplace_back(*number, std::move(fileName));
    }
    std::ranges::sort(nodes);

    std::vector<CardOffer> offers;
    offers.reserve(nodes.size());
    for (const auto &[number, fileName] : nodes)
        offers.push_back(offerFor(api, (devDir / fileName).string(), fileName));
    return offers;
}

GpioCard::GpioCard(GpioApi &api, std::string nodePath, GpioLineOffsets offsets, CardInfo info)
    : m_api(api)
    , m_nodePath(std::move(nodePath))
    , m_offsets(offsets)
    , m_info(std::move(info))
{}

GpioCard::~GpioCard()
{
    close();
}

DispatchStatus GpioCard::open()
{
    if (m_chip)
        return DispatchStatus::success();
    int error = 0;
    std::unique_ptr<GpioChip> chip = m_api.open(m_nodePath, error);
    if (!chip) {
        const OpenProblem problem = openProblem(m_nodePath, error);
        return cardFailure(m_info, errnoCode(error), problem.status, problem.fix);
    }
    // The node may now be another chip than the one listed, after a driver was reloaded.
    const unsigned count = chip->lineCount();
    const unsigned highest = *std::ranges::max_element(m_offsets);
    if (highest >= count)
        return cardFailure(m_info, errnoCode(ENODEV),
                           "line " + std::to_string(highest) + " is gone (the chip now has " +
                               std::to_string(count) + " lines)",
                           "choose the card again in \"Select Device\"");
    m_chip = std::move(chip);
    m_requested = false;
    return DispatchStatus::success();
}

void GpioCard::close() noexcept
{
    if (m_chip) {
        m_chip->release();
        m_chip.reset();
    }
    m_requested = false;
}

DispatchOutcome GpioCard::failure(int error, const std::string &what, const std::string &fix) const
{
    return {cardFailure(m_info, errnoCode(error), what, fix), AutomationValue()};
}

std::string GpioCard::busyReport()
{
    for (unsigned offset : m_offsets) {
        const std::string consumer = m_chip->lineConsumer(offset);
        if (consumer.empty())
            continue;
        const std::string name = m_chip->lineName(offset);
        std::string line = "line " + std::to_string(offset);
        if (!name.empty())
            line += " (" + name + ")";
        return line + " is busy: held by \"" + consumer + "\"";
    }
    // Let go again between the refusal and our look.
    return "lines " + offsetRuns(m_offsets) + ": " + errorText(EBUSY);
}

DispatchOutcome GpioCard::configurePorts(std::int32_t chip, std::int16_t controlWord)
{
    if (chip != OnlyChip)
        return DispatchOutcome::boolean(false);
    // Every port an input is the one setup these lines can follow.
    if (!PpiControlWord(controlWord).allInputs())
        return DispatchOutcome::boolean(false);
    if (!m_chip)
        return DispatchOutcome::failure(error_code::DeviceIoError,
                                        cardErrorDescription(m_info, "the card is not open"));
    if (m_requested)
        return DispatchOutcome::boolean(true);

    const int error = m_chip->requestInputs(m_offsets, Consumer);
    if (error == EBUSY)
        return failure(error, busyReport(),
                       "close the program holding the line ('gpioinfo " + m_nodePath +
                           "' shows it), then try again");
    if (error != 0)
        return failure(error, "cannot take lines " + offsetRuns(m_offsets) +
                                  " as inputs: " + errorText(error));
    m_requested = true;
    return DispatchOutcome::boolean(true);
}

DispatchOutcome GpioCard::readPort(std::int32_t port, std::int16_t &value)
{
    if (port != 0 && port != 1)
        return DispatchOutcome::boolean(false);
    if (!m_chip || !m_requested)
        return DispatchOutcome::boolean(false);

    std::array<int, GpioCardLineCount> values{};
    const int error = m_chip->readValues(values);
    if (error != 0) {
        std::string what = errorText(error);
        if (error == ENODEV)
            what += " (the GPIO chip has gone away)";
        return failure(error, what,
                       error == ENODEV ? "load its driver again, then choose it again in "
                                         "\"Select Device\""
                                       : std::string());
    }
    const std::size_t first = static_cast<std::size_t>(port) * LinesPerPort;
    unsigned bits = 0;
    for (std::size_t bit = 0; bit < LinesPerPort; ++bit) {
        if (values[first + bit] != 0)
            bits |= 1u << bit;
    }
    value = static_cast<std::int16_t>(bits);
    return DispatchOutcome::boolean(true);
}

} // namespace velmora
