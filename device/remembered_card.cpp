#include "remembered_card.h"

#include "files/private_file.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#ifdef _WIN32
#include "win32/win32_file.h"
#include "win32/win32_text.h"

#include <knownfolders.h>
#else
#include <sys/stat.h>
#endif

namespace velmora {

namespace {

constexpr std::size_t MaxFileSize = 4096;
constexpr std::string_view Heading = "velmora card 1";
constexpr std::string_view NameKey = "name ";
constexpr std::string_view LocationKey = "location ";

PrivateFileFixes fixes(const std::filesystem::path &file)
{
    const std::string remove = "remove " + displayPath(file) + "; choose the card again";
    return {"a remembered card",
            "remove it (or have it removed), or point "
#ifdef _WIN32
            "APPDATA"
#else
            "XDG_CONFIG_HOME"
#endif
            " at a private folder",
            remove,
            remove,
            std::string(),
#ifdef _WIN32
            "point APPDATA at a private folder on one that is"
#else
            "set XDG_CONFIG_HOME to a private folder on one that is writable"
#endif
    };
}

bool printable(std::string_view text)
{
    return std::ranges::none_of(text, [](char c) { return c == '\n' || c == '\r' || c == '\0'; });
}

// The three lines the file holds, or a reason.
std::optional<CardInfo> parse(std::string_view text, std::string &reason)
{
    const auto takeLine = [&text]() -> std::optional<std::string_view> {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos)
            return std::nullopt;
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        return line;
    };
    const auto heading = takeLine();
    const auto name = takeLine();
    const auto location = takeLine();
    if (!heading || *heading != Heading) {
        reason = "does not start with \"" + std::string(Heading) + "\"";
    } else if (!name || !name->starts_with(NameKey) || name->size() == NameKey.size()) {
        reason = "no card name on line 2";
    } else if (!location || !location->starts_with(LocationKey)) {
        reason = "no card location on line 3";
    } else if (!text.empty()) {
        reason = "more than three lines";
    } else if (!printable(*name) || !printable(*location)) {
        reason = "control characters in a line";
    } else {
        CardInfo card;
        card.name = name->substr(NameKey.size());
        card.location = location->substr(LocationKey.size());
        return card;
    }
    return std::nullopt;
}

std::string describe(const CardInfo &card)
{
    return card.location.empty() ? card.name : card.name + " (" + card.location + ")";
}

} // namespace

RememberedCardFile::RememberedCardFile(std::filesystem::path file)
    : m_file(std::move(file))
{}

RememberedCardFile::RememberedCardFile()
{
    try {
        m_file = defaultPath();
    } catch (const FileError &error) {
        m_unknown = error.what();
    }
}

std::filesystem::path RememberedCardFile::defaultPath()
{
#ifdef _WIN32
    HRESULT hr = S_OK;
    const std::filesystem::path folder = win32::userFolder(L"APPDATA", FOLDERID_RoamingAppData, hr);
    if (folder.empty()) {
        throw FileError("cannot find your application data folder to remember the card in: "
                        "APPDATA is not set and the system does not know it (" +
                        systemMessage(hr) + ")");
    }
    return folder / L"Velmora" / L"card";
#else
    // A relative XDG_CONFIG_HOME is invalid and ignored, as the XDG rules say.
    if (const char *config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/')
        return std::filesystem::path(config) / "velmora" / "card";
    const char *home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        throw FileError("cannot find your configuration folder to remember the card in: neither "
                        "XDG_CONFIG_HOME nor HOME is set to an absolute path");
    }
    return std::filesystem::path(home) / ".config" / "velmora" / "card";
#endif
}

std::optional<CardInfo> RememberedCardFile::recall() const
{
    if (!m_unknown.empty())
        throw FileError(m_unknown);
    checkFileName(m_file);
    const auto folder = folderOf(m_file);
    std::error_code missing;
    if (!std::filesystem::exists(std::filesystem::symlink_status(folder, missing)))
        return std::nullopt; // nothing chosen yet: no folder made just for looking
    const PrivateFolder files(folder, fixes(m_file));
    const std::optional<std::string> text = files.read(m_file, MaxFileSize);
    if (!text)
        return std::nullopt;
    std::string reason;
    std::optional<CardInfo> card = parse(*text, reason);
    if (!card)
        refuseFile(m_file, "corrupt: " + reason + "; " + files.fixes().reset);
    return card;
}

void RememberedCardFile::remember(const CardInfo &card)
{
    if (!m_unknown.empty())
        throw FileError(m_unknown);
    checkFileName(m_file);
    if (card.name.empty() || !printable(card.name) || !printable(card.location))
        refuseFile(m_file, "cannot keep the card \"" + card.name + "\": its name has line breaks");
#ifndef _WIN32
    // The configuration folder itself may not exist yet on a fresh account; made as the XDG
    // rules ask, private to the user.
    const auto configHome = folderOf(m_file).parent_path();
    if (!configHome.empty())
        ::mkdir(configHome.c_str(), 0700);
#endif
    const PrivateFolder files(folderOf(m_file), fixes(m_file));
    // What a writer killed half-way left behind, from before a crash.
    files.removeLeftovers(m_file);
    files.publish(m_file,
                  std::string(Heading) + '\n' + std::string(NameKey) + card.name + '\n' +
                      std::string(LocationKey) + card.location + '\n',
                  true);
}

StartingCard startingCard(CardCatalog &catalog, const CardMemory *memory,
                          const std::function<std::unique_ptr<Card>()> &fallback)
{
    std::optional<CardInfo> remembered;
    CardOrigin origin;
    try {
        if (memory != nullptr)
            remembered = memory->recall();
    } catch (const std::exception &error) {
        origin = {"last card unreadable",
                  std::string("The card last used cannot be read back: ") + error.what()};
    }
    if (remembered) {
        std::vector<CardOffer> offers = catalog.offers();
        const auto offer = std::ranges::find_if(
            offers, [&](const CardOffer &o) { return sameCard(o.info, *remembered); });
        if (offer == offers.end()) {
            origin = {"last card gone", "The card last used, " + describe(*remembered) +
                                            ", is not there now; the simulated card stands in."};
        } else if (!offer->usable || !offer->make) {
            std::string detail = "The card last used, " + describe(*remembered) +
                                 ", cannot be opened: " + offer->status;
            if (!offer->fix.empty())
                detail += "\nTo fix: " + offer->fix;
            origin = {"last card unusable", detail + "\nThe simulated card stands in."};
        } else if (std::unique_ptr<Card> card = offer->make()) {
            return {std::move(card), {"last used", "The card last chosen in Select Device."}};
        }
    }
    return {fallback(), std::move(origin)};
}

} // namespace velmora
