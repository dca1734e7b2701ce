#pragma once

#include "cards/card_catalog.h"
#include "cards/card_memory.h"
#include "files/private_file.h"

#include <filesystem>
#include <functional>
#include <memory>

namespace velmora {

// The card last chosen in "Select Device", kept in the user's configuration folder: written as
// the simulated card's state file is (private folder, 0600, replaced atomically, no link
// followed).
class RememberedCardFile final : public CardMemory {
public:
    explicit RememberedCardFile(std::filesystem::path file);
    // At defaultPath(); where that is unknown, recall() and remember() say so.
    RememberedCardFile();

    // $XDG_CONFIG_HOME/velmora/card, else ~/.config/velmora/card; on Windows
    // %APPDATA%\Velmora\card. Throws FileError where no such folder is known.
    static std::filesystem::path defaultPath();

    const std::filesystem::path &path() const noexcept { return m_file; }

    // Throws FileError (naming the file and the fix) for a file that is corrupt or not the
    // user's own; none where nothing has been remembered yet.
    std::optional<CardInfo> recall() const override;
    void remember(const CardInfo &card) override;

private:
    std::filesystem::path m_file;
    std::string m_unknown; // why there is no file to use
};

// The card the device control starts with, and why it is that one.
struct StartingCard {
    std::unique_ptr<Card> card; // not yet opened
    CardOrigin origin;
};

// The remembered card where the catalog still offers it and it can be opened; otherwise
// `fallback` (the simulated card), with the origin saying what became of the remembered one.
// `memory` may be null: nothing remembered.
StartingCard startingCard(CardCatalog &catalog, const CardMemory *memory,
                          const std::function<std::unique_ptr<Card>()> &fallback);

} // namespace velmora
