#pragma once

#include "automation/dispatch.h"
#include "cards/card.h"

#include <string>
#include <string_view>
#include <system_error>

namespace velmora {

// The run-time error a card's OS failure raises, chosen by what the user can do about it:
// 70 "Permission denied" where access was refused or another program holds the device or line,
// 68 "Device unavailable" where the device is not there (or no longer), 57 "Device I/O error" for
// any other failure. Takes errno values (generic category) and, on Windows, system error codes;
// an OS number itself is never the number raised.
int cardErrorCode(std::error_code error);

// An errno value as cardErrorCode and cardFailure take it.
inline std::error_code errnoCode(int error)
{
    return {error, std::generic_category()};
}

// The one wording of a card failure, for every kind of card: the card and its node, the reason
// in the system's own words, and the fix where one is known.
//   "PCI-DIO24 (8255_pci) /dev/comedi0, subdevice 0: Permission denied. To fix: add your ..."
//   "pinctrl-bcm2711 (gpiochip0) at /dev/gpiochip0: No such device. To fix: load the ..."
// The node is left out where the name already carries it.
std::string cardErrorDescription(const CardInfo &card, std::string_view reason,
                                 std::string_view fix = {});

// Both: the number `error` earns and the description.
DispatchStatus cardFailure(const CardInfo &card, std::error_code error, std::string_view reason,
                           std::string_view fix = {});

} // namespace velmora
