// Where the state file lives on Windows, and how a change to it is noticed.

#include "simulated/sim_state.h"

#include "win32/win32_file.h"
#include "win32/win32_text.h"

#include <knownfolders.h>

namespace velmora {

namespace {

namespace fs = std::filesystem;
using win32::UniqueHandle;

constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

} // namespace

std::filesystem::path SimStateFile::defaultPath()
{
    // LOCALAPPDATA first, so that a user or a test can point the program and velmora-sim at
    // another folder; a relative value is ignored, as a relative XDG_RUNTIME_DIR is elsewhere.
    HRESULT hr = S_OK;
    const fs::path folder = win32::userFolder(L"LOCALAPPDATA", FOLDERID_LocalAppData, hr);
    if (folder.empty()) {
        throw SimStateError("cannot find your local application data folder for the simulated "
                            "card's state file: LOCALAPPDATA is not set and the system does not "
                            "know it (" +
                            systemMessage(hr) + "); set LOCALAPPDATA to a private folder of yours");
    }
    return folder / L"Velmora" / L"simcard";
}

std::optional<SimStateReader::Identity> SimStateReader::identify() const
{
    // Attributes only: such an open takes no part in sharing, so it never keeps a reader or a
    // writer waiting. Replacing the file gives it a new file index, so no store() goes unseen
    // even where two land within one tick of the file system's clock.
    const UniqueHandle handle(
        CreateFileW(m_file.path().c_str(), FILE_READ_ATTRIBUTES, ShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandle(handle.get(), &info) ||
        !GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof basic))
        return std::nullopt;
    Identity id;
    id.device = info.dwVolumeSerialNumber;
    id.inode = std::uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    id.size = std::uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    id.modifiedNs = basic.LastWriteTime.QuadPart;
    // Moves with the content, the attributes and the security descriptor.
    id.changedNs = basic.ChangeTime.QuadPart;
    id.mode = info.dwFileAttributes;
    return id;
}

} // namespace velmora
