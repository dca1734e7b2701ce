// The simulated card's state file on Windows: creation, atomic replacement, refusals, locking
// and the reader's change detection.

#include "sim_test_support.h"
#include "test_support.h"

#include <aclapi.h>
#include <knownfolders.h>
#include <sddl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <thread>

using velmora::SimState;
using velmora::SimStateError;
using velmora::SimStateFile;
using velmora::SimStateReader;

namespace wt = velmora::wintest;
namespace fs = std::filesystem;

namespace {

template<typename Row>
requires requires(const Row &row)
{
    row.name;
}
void PrintTo(const Row &row, std::ostream *out)
{
    *out << row.name;
}

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// The file's owner and its access list as the system reports them, worked out here with plain
// calls rather than the code under test.
struct Security {
    bool known = false;
    bool ownerIsMe = false;
    std::vector<std::string> allowed; // SIDs with an access-allowed entry
};

constexpr const char *LocalSystem = "S-1-5-18";

std::string sidString(PSID sid)
{
    wchar_t *text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return "?";
    std::string result = wt::utf8(text);
    LocalFree(text);
    return result;
}

std::string mySid()
{
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    std::vector<BYTE> buffer(256);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size);
    CloseHandle(token);
    return sidString(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid);
}

Security securityOf(const fs::path &path)
{
    Security result;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return result;
    result.known = true;
    result.ownerIsMe = owner != nullptr && sidString(owner) == mySid();
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void *ace = nullptr;
        if (GetAce(dacl, i, &ace) &&
            static_cast<ACE_HEADER *>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            result.allowed.push_back(sidString(
                reinterpret_cast<PSID>(&static_cast<ACCESS_ALLOWED_ACE *>(ace)->SidStart)));
        }
    }
    LocalFree(descriptor);
    return result;
}

fs::path knownLocalAppData()
{
    PWSTR known = nullptr;
    EXPECT_TRUE(SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known)));
    const fs::path folder = known != nullptr ? fs::path(known) : fs::path();
    CoTaskMemFree(known);
    return folder;
}

// ---- the file's text ----

struct TraceRow {
    const char *name;
    const char *trace;
    bool accepted;
};

class TracePath : public testing::TestWithParam<TraceRow> {};

TEST_P(TracePath, MustNameTheFileAbsolutelyInWindowsTerms)
{
    const TraceRow &row = GetParam();
    const std::string text = std::string(wt::GoldenState) + "trace " + row.trace + "\n";
    const std::string error = wt::errorFrom([&] { SimState::parse(text); });
    if (row.accepted) {
        EXPECT_EQ(error, "");
        EXPECT_EQ(SimState::parse(text).trace, row.trace);
    } else {
        EXPECT_EQ(error,
                  "line 10: trace file '" + std::string(row.trace) + "' is not an absolute path");
    }
}

INSTANTIATE_TEST_SUITE_P(Table, TracePath,
                         testing::Values(TraceRow{"DriveBackslash", "C:\\Users\\me\\ticks.log",
                                                  true},
                                         TraceRow{"DriveSlash", "d:/logs/ticks.log", true},
                                         TraceRow{"Unc", "\\\\server\\share\\ticks.log", true},
                                         TraceRow{"CurrentDriveRoot", "\\logs\\ticks.log", false},
                                         TraceRow{"PosixStyle", "/tmp/ticks.log", false},
                                         TraceRow{"DriveRelative", "C:ticks.log", false},
                                         TraceRow{"Relative", "logs\\ticks.log", false}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- where the file lives ----

struct DefaultPathRow {
    const char *name;
    std::optional<std::wstring> localAppData;
    bool fromVariable; // else the system's known folder
};

class DefaultPath : public testing::TestWithParam<DefaultPathRow> {};

TEST_P(DefaultPath, IsInTheLocalApplicationDataFolder)
{
    const DefaultPathRow &row = GetParam();
    const wt::ScopedEnvironment environment(L"LOCALAPPDATA", row.localAppData);
    const fs::path base = row.fromVariable ? fs::path(*row.localAppData) : knownLocalAppData();
    EXPECT_EQ(SimStateFile::defaultPath(), base / "Velmora" / "simcard");
}

INSTANTIATE_TEST_SUITE_P(Table, DefaultPath,
                         testing::Values(DefaultPathRow{"Variable", L"C:\\Somewhere\\Local", true},
                                         DefaultPathRow{"Unset", std::nullopt, false},
                                         DefaultPathRow{"Empty", L"", false},
                                         DefaultPathRow{"RelativeIsIgnored", L"Local", false}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- creating, storing, loading ----

TEST(SimStateFile, LoadCreatesAPrivateFolderAndFileInAFreshState)
{
    const wt::TempFolder temp;
    const fs::path folder = temp.path() / "Velmora";
    const SimStateFile file(folder / "simcard");

    SimState loaded;
    ASSERT_EQ(wt::errorFrom([&] { loaded = file.load(); }), "");
    EXPECT_EQ(loaded, SimState{});
    EXPECT_EQ(wt::readAll(file.path()), SimState{}.format()); // LF only: the same file everywhere
    EXPECT_EQ(wt::entries(folder), std::vector<std::string>{"simcard"});

    for (const fs::path &made : {folder, file.path()}) {
        const Security security = securityOf(made);
        ASSERT_TRUE(security.known) << made;
        EXPECT_TRUE(security.ownerIsMe) << made;
        // Windows keeps the list as given: the user alone. Wine keeps Unix permissions and
        // reports them as the user and SYSTEM; a folder open to others would show Everyone.
        EXPECT_NE(std::find(security.allowed.begin(), security.allowed.end(), mySid()),
                  security.allowed.end())
            << made;
        for (const std::string &sid : security.allowed)
            EXPECT_TRUE(sid == mySid() || sid == LocalSystem) << made << " grants " << sid;
    }

    // An existing file is read, not made afresh.
    file.store(wt::goldenState());
    EXPECT_EQ(file.load(), wt::goldenState());
}

TEST(SimStateFile, StoreReplacesTheWholeFileAndLeavesNothingBehind)
{
    const wt::TempFolder temp;
    const SimStateFile file(temp.path() / "Velmora" / "simcard");
    file.load();
    SimState state = wt::goldenState();
    state.trace = "C:\\logs\\ticks.log";
    file.store(state);
    EXPECT_EQ(wt::readAll(file.path()),
              std::string(wt::GoldenState) + "trace C:\\logs\\ticks.log\n");
    EXPECT_EQ(file.load(), state);
    // The lock file stays, so that every change locks the same file.
    EXPECT_EQ(wt::entries(file.path().parent_path()),
              (std::vector<std::string>{"simcard", "simcard.lock"}));
}

TEST(SimStateFile, StoreWaitsForAReaderToLetGo)
{
    // Windows keeps the name of an open file: a store that meets a reader must wait its turn,
    // not fail.
    const wt::TempFolder temp;
    const SimStateFile file(temp.path() / "Velmora" / "simcard");
    file.load();
    HANDLE reader = CreateFileW(file.path().c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    std::thread release([reader] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        CloseHandle(reader);
    });
    const std::string error = wt::errorFrom([&] { file.store(wt::goldenState()); });
    release.join();
    EXPECT_EQ(error, "");
    EXPECT_EQ(file.load(), wt::goldenState());
    EXPECT_EQ(wt::entries(file.path().parent_path()),
              (std::vector<std::string>{"simcard", "simcard.lock"}));
}

TEST(SimStateFile, StoreCleansUpWhenReplacingFails)
{
    const wt::TempFolder temp;
    const fs::path folder = temp.path() / "Velmora";
    fs::create_directories(folder / "simcard" / "inside");
    const SimStateFile file(folder / "simcard");
    const std::string error = wt::errorFrom([&] { file.store(wt::goldenState()); });
    EXPECT_EQ(error, velmora::displayPath(file.path()) +
                         ": cannot replace the file: it is a folder (remove it, then run "
                         "'velmora-sim reset')");
    EXPECT_EQ(wt::entries(folder), (std::vector<std::string>{"simcard", "simcard.lock"}));
}

// ---- refusals ----

enum class Setup { Corrupt, Empty, Oversize, FolderAsFile, FileAsFolder, MissingParent, NoName };

struct RefusalRow {
    const char *name;
    Setup setup;
    bool namesFolder;
    std::string reason;
};

class LoadRefuses : public testing::TestWithParam<RefusalRow> {};

TEST_P(LoadRefuses, NamingThePathAndTheFix)
{
    const RefusalRow &row = GetParam();
    const wt::TempFolder temp;
    fs::path folder = temp.path() / "Velmora";
    fs::create_directory(folder);
    fs::path target = folder / "simcard";
    const std::string valid = SimState{}.format();

    switch (row.setup) {
    case Setup::Corrupt:
        wt::writeFile(target, replaced(valid, "0x0000", "zz"));
        break;
    case Setup::Empty:
        wt::writeFile(target, "");
        break;
    case Setup::Oversize:
        wt::writeFile(target, valid + std::string(5000 - valid.size(), '#'));
        break;
    case Setup::FolderAsFile:
        fs::create_directory(target);
        break;
    case Setup::FileAsFolder:
        fs::remove(folder);
        wt::writeFile(folder, valid);
        break;
    case Setup::MissingParent:
        folder = temp.path() / "missing" / "Velmora";
        target = folder / "simcard";
        break;
    case Setup::NoName:
        target = folder / "..";
        break;
    }

    const SimStateFile file(target);
    const std::string error = wt::errorFrom([&] { file.load(); });
    const std::string named = velmora::displayPath(row.namesFolder ? folder : target);
    EXPECT_EQ(error.rfind(named + ": ", 0), 0u) << error;
    EXPECT_NE(error.find(row.reason), std::string::npos) << error;
    if (row.setup == Setup::MissingParent) {
        EXPECT_NE(error.find("(a folder above it is missing)"), std::string::npos) << error;
    }
    // Nothing of the refused file was changed.
    if (row.setup == Setup::Corrupt) {
        EXPECT_EQ(wt::readAll(target), replaced(valid, "0x0000", "zz"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, LoadRefuses,
    testing::Values(
        RefusalRow{"Corrupt", Setup::Corrupt, false,
                   "corrupt: line 2: port0 value 'zz' is not a number; run 'velmora-sim reset'"},
        RefusalRow{"Empty", Setup::Empty, false, "corrupt: empty"},
        RefusalRow{"Oversize", Setup::Oversize, false,
                   "is 5000 bytes, more than a state file can be (4096)"},
        RefusalRow{"FolderAsFile", Setup::FolderAsFile, false,
                   "is not a regular file (remove it, then run 'velmora-sim reset')"},
        RefusalRow{"FileAsFolder", Setup::FileAsFolder, true,
                   "is not a folder (remove it, then run 'velmora-sim reset')"},
        RefusalRow{"MissingParent", Setup::MissingParent, true, "cannot create the folder: "},
        RefusalRow{"NoFileName", Setup::NoName, false, "does not name a file"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(LoadRefuses, ASymbolicLinkToTheFile)
{
    const wt::TempFolder temp;
    const fs::path folder = temp.path() / "Velmora";
    fs::create_directory(folder);
    wt::writeFile(temp.path() / "elsewhere", SimState{}.format());
    const fs::path link = folder / "simcard";
    if (const std::string why = wt::makeSymbolicLink(link, temp.path() / "elsewhere", false);
        !why.empty())
        GTEST_SKIP() << why;

    const SimStateFile file(link);
    EXPECT_EQ(wt::errorFrom([&] { file.load(); }),
              velmora::displayPath(link) +
                  ": is a symbolic link or junction; refusing to follow it (remove it, then run "
                  "'velmora-sim reset')");
    // reset replaces the link itself, never what it points at.
    file.store(wt::goldenState());
    EXPECT_EQ(file.load(), wt::goldenState());
    EXPECT_EQ(wt::readAll(temp.path() / "elsewhere"), SimState{}.format());
}

TEST(LoadRefuses, ASymbolicLinkToTheFolder)
{
    const wt::TempFolder temp;
    fs::create_directory(temp.path() / "real");
    wt::writeFile(temp.path() / "real" / "simcard", SimState{}.format());
    const fs::path link = temp.path() / "Velmora";
    if (const std::string why = wt::makeSymbolicLink(link, temp.path() / "real", true);
        !why.empty())
        GTEST_SKIP() << why;

    const SimStateFile file(link / "simcard");
    const std::string error = wt::errorFrom([&] { file.load(); });
    EXPECT_EQ(error.rfind(velmora::displayPath(link) + ": is a symbolic link or junction", 0), 0u)
        << error;
}

TEST(LoadRefuses, AFileOwnedBySomeoneElse)
{
    const wt::TempFolder temp;
    const SimStateFile file(temp.path() / "Velmora" / "simcard");
    file.load();

    PSID localService = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-19", &localService));
    const DWORD set =
        SetNamedSecurityInfoW(const_cast<wchar_t *>(file.path().c_str()), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION, localService, nullptr, nullptr, nullptr);
    LocalFree(localService);
    if (set != ERROR_SUCCESS || securityOf(file.path()).ownerIsMe) {
        GTEST_SKIP() << "cannot give the file to another owner here (Windows needs the restore "
                        "privilege; Wine keeps the Unix owner)";
    }
    const std::string error = wt::errorFrom([&] { file.load(); });
    EXPECT_EQ(error.rfind(velmora::displayPath(file.path()) + ": owned by ", 0), 0u) << error;
    EXPECT_NE(error.find(", not by you ("), std::string::npos) << error;
    EXPECT_NE(error.find("run 'velmora-sim reset'"), std::string::npos) << error;
}

// ---- several at once ----

TEST(SimStateFile, ConcurrentFirstLoadsAgree)
{
    // Racing creators must each see a whole file: theirs or the winner's.
    const wt::TempFolder temp;
    for (int round = 0; round < 10; ++round) {
        const SimStateFile file(temp.path() / std::to_string(round) / "simcard");
        std::vector<std::string> errors(6);
        std::vector<std::thread> threads;
        for (auto &error : errors) {
            threads.emplace_back([&] {
                error = wt::errorFrom([&] {
                    if (file.load() != SimState{})
                        throw SimStateError("loaded something else than a fresh state");
                });
            });
        }
        for (auto &thread : threads)
            thread.join();
        for (const auto &error : errors)
            EXPECT_EQ(error, "");
        EXPECT_EQ(wt::entries(file.path().parent_path()), std::vector<std::string>{"simcard"});
    }
}

TEST(SimStateFile, ConcurrentUpdatesLoseNothing)
{
    // Several velmora-sim commands at once: each change lands on top of the others.
    const wt::TempFolder temp;
    const SimStateFile file(temp.path() / "Velmora" / "simcard");
    constexpr int Threads = 4, Steps = 25;
    std::vector<std::string> errors(Threads);
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            errors[t] = wt::errorFrom([&] {
                for (int i = 0; i < Steps; ++i)
                    file.update([](SimState &state) { ++state.ports[0]; });
            });
        });
    }
    for (auto &thread : threads)
        thread.join();
    for (const auto &error : errors)
        EXPECT_EQ(error, "");
    EXPECT_EQ(int(file.load().ports[0]), Threads * Steps);
}

// ---- the reader ----

TEST(SimStateReader, SeesEveryStore)
{
    // Stores far quicker than the file system's clock ticks: only the new file's index tells
    // them apart.
    const wt::TempFolder temp;
    const SimStateFile file(temp.path() / "Velmora" / "simcard");
    SimStateReader reader(file);
    EXPECT_EQ(reader.current(), SimState{});
    SimState state;
    for (std::uint16_t i = 1; i <= 200; ++i) {
        state.ports[0] = i;
        file.store(state);
        ASSERT_EQ(reader.current().ports[0], i);
    }
}

TEST(SimStateReader, SeesAFileRewrittenInPlace)
{
    const wt::TempFolder temp;
    const SimStateFile file(temp.path() / "Velmora" / "simcard");
    SimStateReader reader(file);
    reader.current();
    // As an editor might save it: same file, new content of another length.
    wt::writeFile(file.path(), wt::GoldenState);
    EXPECT_EQ(reader.current(), wt::goldenState());
}

TEST(SimStateReader, LeavesAnUnchangedFileUnread)
{
    const wt::TempFolder temp;
    const SimStateFile file(temp.path() / "Velmora" / "simcard");
    file.store(wt::goldenState());
    SimStateReader reader(file);
    EXPECT_EQ(reader.current(), wt::goldenState());

    // Nobody may read the file now; a reader that still opened it would fail.
    HANDLE exclusive =
        CreateFileW(file.path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(wt::errorFrom([&] { file.load(); }).find("cannot open the file"),
              velmora::displayPath(file.path()).size() + 2);
    EXPECT_EQ(wt::errorFrom([&] { EXPECT_EQ(reader.current(), wt::goldenState()); }), "");
    CloseHandle(exclusive);
}

// ---- changes meeting one another ----

TEST(SimStateFile, AChangeWaitsForOneInProgressAndNamesItsProcess)
{
    const wt::TempFolder temp;
    const SimStateFile file(temp.path() / "Velmora" / "simcard");
    file.store(SimState{});
    const HANDLE paused = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE goOn = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    velmora::SimUpdateOptions holding;
    holding.beforeReplace = [&] {
        SetEvent(paused);
        WaitForSingleObject(goOn, 30000);
    };
    std::string firstError;
    std::thread first([&] {
        firstError = wt::errorFrom(
            [&] { file.update([](SimState &state) { state.ports[0] = 1; }, holding); });
    });
    ASSERT_EQ(WaitForSingleObject(paused, 30000), WAIT_OBJECT_0);

    // One that will not wait long gives up, having said once whom it waited for.
    velmora::SimUpdateOptions impatient;
    impatient.patience = std::chrono::milliseconds(100);
    std::vector<std::optional<std::int64_t>> told;
    impatient.waiting = [&](std::optional<std::int64_t> holder) {
        told.push_back(holder);
    };
    const std::string error = wt::errorFrom([&] { file.store(SimState{}, impatient); });
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told.front(), std::int64_t(GetCurrentProcessId()));
    EXPECT_NE(error.find(": another velmora-sim (process " + std::to_string(GetCurrentProcessId()) +
                         ") has kept it locked for 0.1 s"),
              std::string::npos)
        << error;

    // One that waits goes on once the first is done, and builds on what it wrote. Its word that
    // it waits is what lets the first go on, so the order is fixed.
    velmora::SimUpdateOptions patient;
    bool waited = false;
    patient.waiting = [&](std::optional<std::int64_t>) {
        waited = true;
        SetEvent(goOn);
    };
    EXPECT_EQ(
        wt::errorFrom([&] { file.update([](SimState &state) { state.ports[1] = 2; }, patient); }),
        "");
    first.join();
    EXPECT_EQ(firstError, "");
    EXPECT_TRUE(waited);
    const SimState state = file.load();
    EXPECT_EQ(state.ports[0], 1);
    EXPECT_EQ(state.ports[1], 2);
    CloseHandle(paused);
    CloseHandle(goOn);
}

TEST(SimStateFile, AChangeRemovesWhatAKilledWriterLeft)
{
    const wt::TempFolder temp;
    const fs::path folder = temp.path() / "Velmora";
    const SimStateFile file(folder / "simcard");
    file.store(SimState{});

    // The id of a process that has ended: this test program, asked for nothing.
    std::array<wchar_t, MAX_PATH> self{};
    GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    std::wstring commandLine = L"velmora_wintest --gtest_filter=-*";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(self.data(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process));
    WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    const std::string gone = std::to_string(process.dwProcessId);
    const std::string alive = std::to_string(GetCurrentProcessId());

    const std::vector<std::string> kept = {".other.tmp." + gone + ".0.0",
                                           ".simcard.tmp." + alive + ".0.0",
                                           ".simcard.tmp." + gone + ".1.0", // still open
                                           ".simcard.tmp.notes",
                                           "simcard",
                                           "simcard.lock"};
    for (const std::string &name : kept)
        if (!fs::exists(folder / name))
            wt::writeFile(folder / name, "");
    wt::writeFile(folder / (".simcard.tmp." + gone + ".0.0"), "half a state");
    const HANDLE inUse =
        CreateFileW((folder / (".simcard.tmp." + gone + ".1.0")).c_str(), GENERIC_READ,
                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(inUse, INVALID_HANDLE_VALUE);

    file.update([](SimState &state) { state.ports[0] = 7; });
    CloseHandle(inUse);
    std::vector<std::string> expected = kept;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(wt::entries(folder), expected);
    EXPECT_EQ(file.load().ports[0], 7);
}

} // namespace
