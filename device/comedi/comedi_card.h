#pragma once

#include "cards/card.h"
#include "cards/card_catalog.h"
#include "cards/ppi_control_word.h"
#include "comedi/comedilib_api.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

// Every comedi card under `devDir` (nodes comedi0 to comedi47): each digital-input or digital
// I/O subdevice with at least 16 channels, and a row that says why for each node that cannot
// be used and each such subdevice another program holds. The offers' cards use `api`, which
// must outlive them.
std::vector<CardOffer> findComediCards(ComediApi &api,
                                       const std::filesystem::path &devDir = "/dev");

// One digital-input (DI) or digital I/O (DIO) subdevice of a comedi device, seen as one 8255:
// port p is channels 8p to 8p+7, and chip 0 is the subdevice itself.
class ComediCard final : public Card {
public:
    ComediCard(ComediApi &api, std::string node, unsigned subdevice, ComediSubdeviceType type,
               CardInfo info);

    CardInfo info() const override { return m_info; }
    // Opens the node with a handle of the card's own and checks the subdevice is still what
    // the listing showed.
    DispatchStatus open() override;
    void close() noexcept override;

    DispatchOutcome configurePorts(std::int32_t chip, std::int16_t controlWord) override;
    DispatchOutcome readPort(std::int32_t port, std::int16_t &value) override;

private:
    DispatchOutcome comediFailure(int error) const;
    DispatchOutcome notOpen() const;
    DispatchOutcome configureDio(PpiControlWord word);
    DispatchOutcome configureDi(PpiControlWord word) const;

    ComediApi &m_api;
    std::string m_node;
    unsigned m_subdevice;
    ComediSubdeviceType m_type;
    CardInfo m_info;
    std::unique_ptr<ComediDevice> m_device;
    unsigned m_channels = 0;
};

} // namespace velmora
