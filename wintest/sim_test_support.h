#pragma once

// What the simulated card's Windows tests share: a private temporary folder, an environment
// variable set for one test, files read and written byte for byte, and symbolic links where the
// system makes them.

#include "shared/sample_sim_state.h"
#include "simulated/sim_state.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace velmora::wintest {

namespace fs = std::filesystem;

// A fresh folder under the user's temporary folder, removed with everything in it at the end.
class TempFolder final {
public:
    TempFolder()
    {
        static std::atomic<unsigned> serial{0};
        const fs::path base = fs::temp_directory_path();
        for (;;) {
            m_path = base / ("velmora-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(serial++));
            if (fs::create_directory(m_path))
                break;
        }
    }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    ~TempFolder()
    {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }

    const fs::path &path() const noexcept { return m_path; }

private:
    fs::path m_path;
};

// Sets (or, with nullopt, removes) an environment variable of this process, and of the
// processes it starts, until the end of the scope.
class ScopedEnvironment final {
public:
    ScopedEnvironment(const wchar_t *name, const std::optional<std::wstring> &value)
        : m_name(name)
    {
        std::vector<wchar_t> old(32767);
        const DWORD length =
            GetEnvironmentVariableW(name, old.data(), static_cast<DWORD>(old.size()));
        if (length > 0 && length < old.size())
            m_old = std::wstring(old.data(), length);
        SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
    }
    ScopedEnvironment(const ScopedEnvironment &) = delete;
    ScopedEnvironment &operator=(const ScopedEnvironment &) = delete;
    ~ScopedEnvironment()
    {
        SetEnvironmentVariableW(m_name.c_str(), m_old ? m_old->c_str() : nullptr);
    }

private:
    std::wstring m_name;
    std::optional<std::wstring> m_old;
};

inline std::string readAll(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const fs::path &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// The names in a folder, sorted, hidden ones included.
inline std::vector<std::string> entries(const fs::path &folder)
{
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(folder))
        names.push_back(displayPath(entry.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
}

// The SimStateError `action` throws, or empty.
template<typename Action> std::string errorFrom(Action action)
{
    try {
        action();
    } catch (const SimStateError &error) {
        return error.what();
    }
    return {};
}

// Makes `link` a symbolic link to `target`. Empty on success, else why this system cannot (Wine
// answers CreateSymbolicLinkW without making anything).
inline std::string makeSymbolicLink(const fs::path &link, const fs::path &target, bool folder)
{
    DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (folder)
        flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
    if (!CreateSymbolicLinkW(link.c_str(), target.c_str(), flags))
        return "CreateSymbolicLinkW failed with error " + std::to_string(GetLastError()) +
               " (no privilege to make symbolic links, or no developer mode)";
    const DWORD attributes = GetFileAttributesW(link.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        std::error_code ignored;
        fs::remove(link, ignored);
        return "CreateSymbolicLinkW reported success but made no reparse point (as Wine does)";
    }
    return {};
}

using testdata::GoldenState;
using testdata::goldenState;

} // namespace velmora::wintest

namespace velmora {
// Readable states in GoogleTest's failure messages.
inline void PrintTo(const SimState &state, std::ostream *out)
{
    *out << '\n' << state.format();
}
} // namespace velmora
