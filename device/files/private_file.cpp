// What the private files do alike on every platform.

#include "files/private_file.h"

namespace velmora {

void refuseFile(const std::filesystem::path &path, const std::string &what)
{
    throw FileError(displayPath(path) + ": " + what);
}

std::filesystem::path folderOf(const std::filesystem::path &file)
{
    const auto folder = file.parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
}

void checkFileName(const std::filesystem::path &file)
{
    const std::filesystem::path name = file.filename();
    if (name.empty() || name == "." || name == "..")
        refuseFile(file, "does not name a file");
}

} // namespace velmora
