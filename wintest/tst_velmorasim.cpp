// What velmora-sim.exe does differently on Windows, against a state file under a LOCALAPPDATA of
// the test's own. scripts/wine-test drives set, get, fault, reset and bad usage from outside.

#include "sim_test_support.h"
#include "win32/win32_text.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace wt = velmora::wintest;
namespace fs = std::filesystem;

namespace {

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

fs::path simBinary()
{
    std::array<wchar_t, MAX_PATH> self{};
    GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    return fs::path(self.data()).parent_path() / VELMORA_SIM_RELATIVE_PATH;
}

// Text mode on Windows writes CR LF; the tests compare what the lines say.
std::string withoutCarriageReturns(std::string text)
{
    std::erase(text, '\r');
    return text;
}

class VelmoraSim : public testing::Test {
protected:
    fs::path statePath() const { return m_temp.path() / "Velmora" / "simcard"; }

    // Runs velmora-sim with `args` in the temporary folder, its output caught in files there.
    Result run(const std::vector<std::string> &args)
    {
        std::wstring commandLine = L"velmora-sim";
        for (const std::string &arg : args)
            commandLine += L" \"" + velmora::toUtf16(arg) + L'"';

        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        const fs::path outPath = m_temp.path() / "out.txt", errPath = m_temp.path() / "err.txt";
        const auto create = [&](const fs::path &path) {
            return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        };
        HANDLE out = create(outPath), err = create(errPath);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = out;
        startup.hStdError = err;
        PROCESS_INFORMATION process{};
        const fs::path binary = simBinary();
        const BOOL started =
            CreateProcessW(binary.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                           m_temp.path().c_str(), &startup, &process);
        CloseHandle(out);
        CloseHandle(err);
        Result result;
        if (!started) {
            ADD_FAILURE() << "cannot start " << binary << ": error " << GetLastError();
            return result;
        }
        if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(process.hProcess, &code);
            result.exitCode = static_cast<int>(code);
        } else {
            TerminateProcess(process.hProcess, 99);
            ADD_FAILURE() << "velmora-sim did not finish";
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        result.out = withoutCarriageReturns(wt::readAll(outPath));
        result.err = withoutCarriageReturns(wt::readAll(errPath));
        fs::remove(outPath);
        fs::remove(errPath);
        return result;
    }

    wt::TempFolder m_temp;
    wt::ScopedEnvironment m_environment{L"LOCALAPPDATA", m_temp.path().wstring()};
};

TEST_F(VelmoraSim, NamesTheTraceFileAbsolutely)
{
    // From velmora-sim's working folder, so that the program finds the same file.
    const Result result = run({"trace", "logs\\..\\ticks.log"});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitCode, 0);
    const std::string trace = velmora::displayPath(m_temp.path() / "ticks.log");
    EXPECT_EQ(velmora::SimStateFile(statePath()).load().trace, trace);
    EXPECT_NE(run({"get"}).out.find("\ntrace " + trace + "\n"), std::string::npos);

    EXPECT_EQ(run({"trace", "off"}).exitCode, 0);
    EXPECT_EQ(velmora::SimStateFile(statePath()).load().trace, "");
}

TEST_F(VelmoraSim, HelpShowsTheStateFileWhereLocalAppDataPoints)
{
    const Result result = run({"--help"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "");
    for (const std::string &part :
         {std::string("usage: velmora-sim"), std::string("set P0 P1 [P2]"),
          "State file: " + velmora::displayPath(statePath()) + "\n",
          std::string("(in %LOCALAPPDATA%\\Velmora)")})
        EXPECT_NE(result.out.find(part), std::string::npos) << part << "\n" << result.out;
}

TEST_F(VelmoraSim, TracesToAnyPathAUserCanName)
{
    // A profile folder whose user name holds a space and a letter beyond ASCII.
    const fs::path folder = m_temp.path() / L"Jos\u00e9 Smith";
    fs::create_directory(folder);
    const std::string trace = velmora::displayPath(folder / L"ticks log.txt");
    const Result result = run({"trace", trace});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(fs::is_regular_file(folder / L"ticks log.txt")); // made, and so tried, at once
    EXPECT_EQ(velmora::SimStateFile(statePath()).load().trace, trace);
}

TEST_F(VelmoraSim, RefusesATraceThatCannotWorkAtOnce)
{
    const std::string missing = velmora::displayPath(m_temp.path() / "missing" / "ticks.log");
    const std::string folder = velmora::displayPath(m_temp.path());
    for (const auto &[trace, reason] :
         {std::pair{missing, std::string("does not exist: create it")},
          std::pair{folder, std::string("it is a folder")}}) {
        const Result result = run({"trace", trace});
        EXPECT_EQ(result.exitCode, 1) << trace;
        EXPECT_EQ(result.err.rfind("velmora-sim: cannot trace to " + trace + ": ", 0), 0u)
            << result.err;
        EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
    }
    EXPECT_EQ(run({"trace", ""}).exitCode, 2);
    EXPECT_FALSE(fs::exists(statePath()));
}

} // namespace
