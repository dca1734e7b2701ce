#include "card_pick.h"

#include <algorithm>

namespace velmora::watch {

namespace {

std::string statusOf(const CardOffer &offer)
{
    return offer.usable && offer.status.empty() ? "Ready" : offer.status;
}

} // namespace

std::unique_ptr<Card> pickCard(std::vector<CardOffer> offers, std::string_view nameOrNode)
{
    // A name is exact and names one card; a node may carry several (a comedi board's
    // subdevices).
    std::vector<const CardOffer *> found;
    const auto named = std::ranges::find_if(
        offers, [&](const CardOffer &offer) { return offer.info.name == nameOrNode; });
    if (named != offers.end()) {
        found.push_back(&*named);
    } else {
        for (const CardOffer &offer : offers)
            if (offer.info.location == nameOrNode)
                found.push_back(&offer);
    }
    if (found.empty()) {
        throw CardPickError("no card named '" + std::string(nameOrNode) +
                            "' (velmora-watch --list shows the cards and their names)");
    }
    if (found.size() > 1) {
        std::string names;
        for (const CardOffer *offer : found)
            names += "\n  " + offer->info.name;
        throw CardPickError("several cards at " + std::string(nameOrNode) +
                            "; name one of them with --card:" + names);
    }
    const CardOffer &offer = *found.front();
    if (!offer.usable || !offer.make) {
        std::string text = "cannot open " + offer.info.name + ": " + statusOf(offer);
        if (!offer.fix.empty())
            text += "\nTo fix: " + offer.fix;
        throw CardPickError(text);
    }
    return offer.make();
}

std::string listCards(const std::vector<CardOffer> &offers, const CardInfo *remembered)
{
    const std::vector<std::string> headings{"NAME", "KIND", "WHERE", "STATUS"};
    std::vector<std::vector<std::string>> rows{headings};
    for (const CardOffer &offer : offers) {
        const bool isRemembered = remembered != nullptr && sameCard(offer.info, *remembered);
        rows.push_back({offer.info.name + (isRemembered ? " (last used)" : ""), offer.info.kind,
                        offer.info.location, statusOf(offer)});
    }
    std::vector<std::size_t> widths(headings.size(), 0);
    for (const auto &row : rows)
        for (std::size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], row[column].size());

    std::string text;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::string line;
        for (std::size_t column = 0; column < rows[i].size(); ++column) {
            line += rows[i][column];
            if (column + 1 < rows[i].size())
                line += std::string(widths[column] - rows[i][column].size() + 2, ' ');
        }
        text += line + '\n';
        if (i == 0)
            continue;
        const CardOffer &offer = offers[i - 1];
        if (!offer.usable) {
            text += "    cannot be opened: " + statusOf(offer) + '\n';
            if (!offer.fix.empty())
                text += "    to fix: " + offer.fix + '\n';
        }
    }
    return text;
}

} // namespace velmora::watch
