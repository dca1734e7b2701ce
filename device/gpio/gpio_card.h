#pragma once

#include "cards/card.h"
#include "cards/card_catalog.h"
#include "gpio/gpiod_api.h"

#include <array>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

inline constexpr std::size_t GpioCardLineCount = 16;
using GpioLineOffsets = std::array<unsigned, GpioCardLineCount>;

// The sixteen lines of a chip that serve as the card's inputs: port 0 is the first eight,
// port 1 the rest.
struct GpioLineChoice {
    GpioLineOffsets offsets{};
    std::string description; // "lines 0–15", "IIN0–IIN15 (lines 32–47)"
};

// Lines named as a DIO board's inputs where the driver names them so ("IIN0".."IIN15", or
// one 8255 group's "... Port A n" and "... Port B n"), otherwise lines 0–15. None with fewer
// than sixteen lines. `lineNames` holds one name per line, empty where unnamed.
std::optional<GpioLineChoice> chooseGpioLines(const std::vector<std::string> &lineNames);

// Every /dev/gpiochipN in `devDir`, in number order: chips with sixteen lines or more as
// cards, the others as rows that say why they cannot be used. The offers' cards use `api`,
// which must outlive them.
std::vector<CardOffer> findGpioCards(GpioApi &api, const std::filesystem::path &devDir = "/dev");

// Sixteen input lines of one GPIO chip. ConfigurePorts with the all-inputs mode-set word
// requests them; each ReadPort then reads all sixteen at once.
class GpioCard final : public Card {
public:
    GpioCard(GpioApi &api, std::string nodePath, GpioLineOffsets offsets, CardInfo info);
    ~GpioCard() override;

    CardInfo info() const override { return m_info; }
    DispatchStatus open() override;
    void close() noexcept override;
    DispatchOutcome configurePorts(std::int32_t chip, std::int16_t controlWord) override;
    DispatchOutcome readPort(std::int32_t port, std::int16_t &value) override;

private:
    // Numbered and worded as every card's failures are.
    DispatchOutcome failure(int error, const std::string &what, const std::string &fix = {}) const;
    std::string busyReport();

    GpioApi &m_api;
    std::string m_nodePath;
    GpioLineOffsets m_offsets;
    CardInfo m_info;
    std::unique_ptr<GpioChip> m_chip;
    bool m_requested = false;
};

} // namespace velmora
