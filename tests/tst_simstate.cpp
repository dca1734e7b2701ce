#include "files/private_file.h"
#include "shared/sample_sim_state.h"
#include "simulated/sim_state.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using namespace velmora;
using namespace std::chrono;
namespace fs = std::filesystem;

using Ports = std::array<std::uint16_t, SimPortCount>;
Q_DECLARE_METATYPE(Ports)
Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(velmora::SimState)
Q_DECLARE_METATYPE(velmora::SimPattern)

namespace velmora {
// Found by QCOMPARE through argument-dependent lookup.
char *toString(const SimState &state)
{
    return qstrdup(state.format().c_str());
}
} // namespace velmora

namespace {

using S = std::string;
const std::string &Golden = testdata::GoldenState;
using testdata::goldenState;

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    const auto at = text.find(from);
    Q_ASSERT(at != std::string::npos);
    return text.replace(at, from.size(), to);
}

QByteArray readAll(const fs::path &path)
{
    QFile file(QString::fromStdString(path.string()));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const fs::path &path, const std::string &text, mode_t mode = 0600)
{
    std::ofstream(path, std::ios::binary) << text;
    ::chmod(path.c_str(), mode);
}

mode_t modeOf(const fs::path &path)
{
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

template<typename Action> QString errorFrom(Action action)
{
    try {
        action();
    } catch (const SimStateError &error) {
        return QString::fromUtf8(error.what());
    }
    return {};
}

// Runs `work` on `count` threads and waits at most `limit`: a lock that is lost or never let go
// ends the run at once instead of hanging it until CTest gives up.
void onThreads(int count, seconds limit, const std::function<void(int)> &work)
{
    auto done = std::async(std::launch::async, [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < count; ++t)
            threads.emplace_back(work, t);
        for (auto &thread : threads)
            thread.join();
    });
    if (done.wait_for(limit) != std::future_status::ready)
        qFatal("still blocked after %lld s: a lock was lost or never let go",
               static_cast<long long>(limit.count()));
    done.get();
}

// A way to spoil the state file (folder/simcard) or its folder before loading; it may point
// `folder` elsewhere.
using Spoil = std::function<void(fs::path &folder)>;

// The path the ownership check is told belongs to another user.
fs::path g_foreign;

} // namespace

Q_DECLARE_METATYPE(Spoil)

class tst_SimState : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_temp;
    fs::path root() const { return m_temp->path().toStdString(); }
    fs::path folder() const { return root() / "velmora"; }
    static QByteArray bytes(const std::string &text) { return QByteArray::fromStdString(text); }
    static QStringList entries(const fs::path &folder)
    {
        return QDir(QString::fromStdString(folder.string()))
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }
    static QString show(const Ports &p)
    {
        return QStringLiteral("%1 %2 %3").arg(p[0], 4, 16).arg(p[1], 4, 16).arg(p[2], 4, 16);
    }
    static Ports valuesAt(const SimState &state, milliseconds sinceEpoch)
    {
        return state.portValuesAt(system_clock::time_point(sinceEpoch));
    }

private slots:
    void init() { m_temp = std::make_unique<QTemporaryDir>(); }

    void messagesQuoteValuesHarmlessly_data()
    {
        QTest::addColumn<std::string>("value");
        QTest::addColumn<std::string>("quoted");
        // clang-format off
        QTest::newRow("plain") << S("blink") << S("'blink'");
        QTest::newRow("cut") << S(100, 'x') << "'" + S(32, 'x') + "...'";
        QTest::newRow("escape and bell") << S("\x1b[2J\a") << S("'\\x1b[2J\\x07'");
        QTest::newRow("DEL and newline") << S("a\x7f\nb") << S("'a\\x7f\\x0ab'");
        QTest::newRow("UTF-8 kept, cut whole") << "\xc3\xa9" + S(31, 'a') + "\xc3\xa9" << "'\xc3\xa9" + S(31, 'a') + "...'";
        QTest::newRow("two bytes pass") << S("caf\xc3\xa9") << S("'caf\xc3\xa9'");
        QTest::newRow("three bytes pass (U+0800)") << S("\xe0\xa0\x80") << S("'\xe0\xa0\x80'");
        QTest::newRow("first past C1 passes (U+00A0)") << S("\xc2\xa0") << S("'\xc2\xa0'");
        QTest::newRow("lone continuation byte") << S("a\x80z") << S("'a\\x80z'");
        QTest::newRow("C1 control (NEL)") << S("\xc2\x85") << S("'\\xc2\\x85'");
        QTest::newRow("C1 control (CSI)") << S("\xc2\x9b") + "31m" << S("'\\xc2\\x9b31m'");
        QTest::newRow("not UTF-8") << S("\xff\xc3(") << S("'\\xff\\xc3('");
        QTest::newRow("overlong slash") << S("\xc0\xaf") << S("'\\xc0\\xaf'");
        QTest::newRow("last before surrogates (U+D7FF)") << S("\xed\x9f\xbf") << S("'\xed\x9f\xbf'");
        QTest::newRow("surrogate (U+D800)") << S("\xed\xa0\x80") << S("'\\xed\\xa0\\x80'");
        QTest::newRow("last surrogate (U+DFFF)") << S("\xed\xbf\xbf") << S("'\\xed\\xbf\\xbf'");
        QTest::newRow("first past surrogates (U+E000)") << S("\xee\x80\x80") << S("'\xee\x80\x80'");
        QTest::newRow("last code point (U+10FFFF)") << S("\xf4\x8f\xbf\xbf") << S("'\xf4\x8f\xbf\xbf'");
        QTest::newRow("past the last (U+110000)") << S("\xf4\x90\x80\x80") << S("'\\xf4\\x90\\x80\\x80'");
        QTest::newRow("exactly the limit") << S(32, 'x') << "'" + S(32, 'x') + "'";
        // clang-format on
    }

    void messagesQuoteValuesHarmlessly()
    {
        QFETCH(std::string, value);
        QFETCH(std::string, quoted);
        QCOMPARE(quotedValue(value), quoted);
    }

    void formatAndParse()
    {
        QCOMPARE(bytes(goldenState().format()), bytes(Golden));
        QCOMPARE(SimState::parse(Golden), goldenState());
        QCOMPARE(SimState::parse(SimState{}.format()), SimState{});
        SimState traced = goldenState();
        traced.trace = "/run/user/1000/ticks.log"; // optional: written only while a trace runs
        QCOMPARE(SimState::parse(traced.format()), traced);
        // Any name a user can give travels: the file holds what is not printable ASCII, and '%',
        // as %XX, and reads it back byte for byte.
        traced.trace = "/home/Jane Doe/jos\xc3\xa9/100%/!~\x7f\x1b\n\xff.log";
        const std::string text = traced.format();
        QVERIFY(text.ends_with("\ntrace /home/Jane%20Doe/jos%C3%A9/100%25/!~%7F%1B%0A%FF.log\n"));
        QCOMPARE(SimState::parse(text), traced);
        QCOMPARE(SimState::parse(Golden + "trace /%c3%a9%7e\n").trace, "/\xc3\xa9~"); // either case
        // The last newline is optional, and leading zeros may pad a file to exactly the bound.
        QCOMPARE(SimState::parse(Golden.substr(0, Golden.size() - 1)), goldenState());
        const std::string padded =
            replaced(Golden, "0x00a5", "0x" + S(4096 - Golden.size(), '0') + "00a5");
        QCOMPARE(padded.size(), std::size_t(4096));
        QCOMPARE(SimState::parse(padded), goldenState());
    }

    void parseRefuses_data()
    {
        QTest::addColumn<std::string>("text");
        QTest::addColumn<QString>("reason");
        const auto row = [](const char *name, std::string text, const char *reason) {
            QTest::newRow(name) << std::move(text) << QString::fromLatin1(reason);
        };
        const auto with = [](const char *from, const std::string &to) {
            return replaced(Golden, from, to);
        };
        // clang-format off
        row("empty", "", "empty");
        row("no version", with("simcard 1", "simcard"), "line 1: not a simulated-card");
        row("future version", with("simcard 1", "simcard 2"), "line 1: unsupported version '2'");
        row("missing pattern", with("pattern walk\n", ""), "no pattern line");
        row("missing fault", with("fault select nobool\n", ""), "no fault select line");
        row("duplicate port", Golden + "port1 0x0000\n", "line 10: duplicate port1 (first on line 3)");
        row("duplicate fault", Golden + "fault read0 none\n", "line 10: duplicate fault read0");
        row("unknown key", Golden + "port3 0x0000\n", "line 10: unknown key 'port3'");
        row("relative trace", Golden + "trace ticks.log\n", "line 10: trace file 'ticks.log' is not an absolute path");
        row("duplicate trace", Golden + "trace /a\ntrace /b\n", "line 11: duplicate trace");
        row("lone percent in trace", Golden + "trace /a%2\n", "line 10: trace file '/a%2' has a '%' that is not followed by two hex digits");
        row("no hex digit after percent", Golden + "trace /a%2g\n", "line 10: trace file '/a%2g' has a '%' that is not followed by two hex digits");
        row("NUL in trace", Golden + "trace /a%00b\n", "line 10: trace file '/a%00b' holds a NUL");
        row("not a number", with("0x003c", "zz"), "line 3: port1 value 'zz' is not a number");
        row("bare 0x", with("0x003c", "0x"), "line 3: port1 value '0x' is not a number");
        row("hex too large", with("0x003c", "0x10000"), "'0x10000' is out of range");
        row("huge", with("0x003c", S(40, '9')), "is out of range");
        row("bad pattern", with("pattern walk", "pattern blink"), "line 5: unknown pattern 'blink' (off, count, walk or random)");
        row("bad operation", with("fault read0", "fault write"), "line 6: unknown operation 'write' (read0, read1, configure or select)");
        row("bad fault mode", with("read1 error", "read1 maybe"), "line 7: unknown fault mode 'maybe' (none, false, error or nobool)");
        row("extra value", with("0x003c", "0x003c 1"), "line 3: port1 takes one value");
        row("four fields", with("read0 none", "read0 none now"), "line 6: too many fields");
        row("double space", with("port1 ", "port1  "), "line 3: fields must be separated");
        row("empty line", with("port2", "\nport2"), "line 4: empty line");
        row("two trailing newlines", Golden + "\n", "line 10: empty line");
        row("NUL byte", with("0x003c", "0x00" + S(1, '\0') + "3c"), "line 3: contains a NUL byte");
        row("CRLF", with("1\n", "1\r\n"), "line 1: contains a carriage return");
        row("non-ASCII", with("walk", "w\xc3\xa4lk"), "line 5: contains byte 0xc3");
        row("DEL", with("walk", "w\x7flk"), "line 5: contains byte 0x7f");
        row("control", with("walk", "w\x1flk"), "line 5: contains byte 0x1f");
        row("tilde is printable", with("walk", "w~lk"), "line 5: unknown pattern 'w~lk'");
        row("oversize", Golden + S(4096, '#'), "more than the 4096");
        // clang-format on
    }

    void parseRefuses()
    {
        QFETCH(std::string, text);
        QFETCH(QString, reason);
        const QString error = errorFrom([&] { SimState::parse(text); });
        QVERIFY2(error.contains(reason), qPrintable(error));
    }

    void registerNumbersAndNames()
    {
        // Past 0xffff everything reads as 0x10000, out of range however long.
        // clang-format off
        const std::pair<const char *, std::uint32_t> numbers[] = {
            {"0", 0}, {"9", 9}, {"65535", 65535}, {"65536", 0x10000}, {"99999999999", 0x10000},
            {"0xaf", 0xaf}, {"0XAF", 0xaf}, {"0xffff", 0xffff}, {"0x10000", 0x10000}};
        // clang-format on
        for (const auto &[text, value] : numbers)
            QVERIFY2(parseRegisterNumber(text) == value, text);
        for (const char *text :
             {"", "0x", "-1", "+1", "/", ":", "1a", "0xg", "0xG", "0x`", "0x@", "x1"})
            QVERIFY2(!parseRegisterNumber(text), text);

        for (SimPattern p :
             {SimPattern::Off, SimPattern::Count, SimPattern::Walk, SimPattern::Random})
            QVERIFY(patternFromString(toString(p)) == p);
        QVERIFY(!patternFromString("") && !faultModeFromString("") && !operationFromString(""));
        QVERIFY(!patternFromString("Walk") && !faultModeFromString("none ") &&
                !operationFromString("read"));
        QCOMPARE(toString(SimPattern(4)), "invalid");
    }

    void patterns_data()
    {
        QTest::addColumn<SimPattern>("pattern");
        QTest::addColumn<qint64>("msSinceEpoch");
        QTest::addColumn<Ports>("expected");
        const auto row = [](const char *name, SimPattern pattern, qint64 ms, Ports expected) {
            QTest::newRow(name) << pattern << ms << expected;
        };
        // Stored values: {0x1234, 0x5678, 0x9abc}; port 2 always delivers its own.
        // clang-format off
        row("off", SimPattern::Off, 1234567, {0x1234, 0x5678, 0x9abc});
        row("count late in a second", SimPattern::Count, 0x1234 * 1000 + 999, {0x34, 0x12, 0x9abc});
        row("count next second", SimPattern::Count, 0x1235 * 1000, {0x35, 0x12, 0x9abc});
        row("count today", SimPattern::Count, 1700000123000, {0x7b, 0xf1, 0x9abc});
        row("count wraps at 65536", SimPattern::Count, 65537000, {0x01, 0x00, 0x9abc});
        row("count before the epoch", SimPattern::Count, -1, {0xff, 0xff, 0x9abc});
        row("walk first line", SimPattern::Walk, 249, {0x01, 0, 0x9abc});
        row("walk second line", SimPattern::Walk, 250, {0x02, 0, 0x9abc});
        row("walk line 8", SimPattern::Walk, 8 * 250, {0, 0x01, 0x9abc});
        row("walk line 15", SimPattern::Walk, 15 * 250 + 100, {0, 0x80, 0x9abc});
        row("walk starts over", SimPattern::Walk, 16 * 250, {0x01, 0, 0x9abc});
        row("walk before the epoch", SimPattern::Walk, -1, {0, 0x80, 0x9abc});
        // clang-format on
    }

    void patterns()
    {
        QFETCH(SimPattern, pattern);
        QFETCH(qint64, msSinceEpoch);
        QFETCH(Ports, expected);
        SimState state;
        state.ports = {0x1234, 0x5678, 0x9abc};
        state.pattern = pattern;
        QCOMPARE(show(valuesAt(state, milliseconds(msSinceEpoch))), show(expected));
    }

    void randomChangesPerSlotAndIsDeterministic()
    {
        SimState state;
        state.ports = {0x1234, 0x5678, 0x9abc};
        state.pattern = SimPattern::Random;
        const SimState other = state;
        std::set<unsigned> seen;
        int changes = 0;
        Ports previous{};
        for (int slot = 0; slot < 500; ++slot) {
            const milliseconds start(1700000000000 + 100 * slot);
            const Ports value = valuesAt(state, start);
            QCOMPARE(show(valuesAt(state, start + 99ms)), show(value));
            QCOMPARE(show(valuesAt(other, start)), show(value));
            QVERIFY(value[0] <= 0xff && value[1] <= 0xff && value[2] == 0x9abc);
            seen.insert(value[0] | value[1] << 8);
            changes += slot > 0 && value != previous;
            previous = value;
        }
        QVERIFY2(changes >= 495 && seen.size() >= 490, qPrintable(QString::number(changes)));
        // Each of the sixteen lines is seen high and seen low.
        unsigned high = 0, low = 0;
        for (const unsigned v : seen) {
            high |= v;
            low |= ~v & 0xffff;
        }
        QCOMPARE(high, 0xffffu);
        QCOMPARE(low, 0xffffu);
    }

    void defaultPath()
    {
        const auto pathWith = [](const char *runtimeDir) {
            const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
            const bool wasSet = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
            runtimeDir ? qputenv("XDG_RUNTIME_DIR", runtimeDir) : qunsetenv("XDG_RUNTIME_DIR");
            const auto path = QString::fromStdString(SimStateFile::defaultPath().string());
            wasSet ? qputenv("XDG_RUNTIME_DIR", saved) : qunsetenv("XDG_RUNTIME_DIR");
            return path;
        };
        const QString fallback = QStringLiteral("/tmp/velmora-%1/simcard").arg(::geteuid());
        QCOMPARE(pathWith("/run/user/1000"), QStringLiteral("/run/user/1000/velmora/simcard"));
        QCOMPARE(pathWith(nullptr), fallback);
        QCOMPARE(pathWith(""), fallback);
        QCOMPARE(pathWith("run/user"), fallback); // relative: invalid, ignored
    }

    void firstLoadsCreateAPrivateFolderAndFile_data()
    {
        QTest::addColumn<int>("umaskValue");
        QTest::newRow("umask 000") << 0;
        QTest::newRow("umask 022") << 022;
        QTest::newRow("umask 277") << 0277; // would leave the owner unable to write
    }

    void firstLoadsCreateAPrivateFolderAndFile()
    {
        QFETCH(int, umaskValue);
        // Racing creators must each see a whole file: theirs or the winner's.
        for (int round = 0; round < 20; ++round) {
            const SimStateFile file(root() / std::to_string(round) / "simcard");
            std::vector<QString> errors(6);
            const mode_t saved = ::umask(static_cast<mode_t>(umaskValue));
            onThreads(6, 5s, [&](int t) {
                errors[t] = errorFrom([&] {
                    if (file.load() != SimState{})
                        throw SimStateError("loaded something else than a fresh state");
                });
            });
            ::umask(saved);
            for (const auto &error : errors)
                QVERIFY2(error.isEmpty(), qPrintable(error));
            QCOMPARE(modeOf(file.path().parent_path()), mode_t(0700));
            QCOMPARE(modeOf(file.path()), mode_t(0600));
            QCOMPARE(readAll(file.path()), bytes(SimState{}.format()));
            QCOMPARE(entries(file.path().parent_path()), QStringList{"simcard"});
            // An existing file is read, not recreated.
            file.store(goldenState());
            QCOMPARE(file.load(), goldenState());
        }
    }

    void pathsThatNameNoFileAreRefused_data()
    {
        QTest::addColumn<QString>("name");
        for (const char *name : {"", ".", ".."})
            QTest::newRow(*name ? name : "a folder") << QString(name);
    }

    void pathsThatNameNoFileAreRefused()
    {
        QFETCH(QString, name);
        const SimStateFile file(folder() / name.toStdString());
        for (const auto &use :
             std::initializer_list<std::function<void()>>{[&] { file.load(); },
                                                          [&] {
                                                              file.store(SimState{});
                                                          }}) {
            try {
                use();
                QFAIL("a path naming no file was used");
            } catch (const FileError &error) {
                QVERIFY2(QString(error.what()).endsWith("does not name a file"), error.what());
            }
        }
    }

    void concurrentUpdatesLoseNothing()
    {
        // Several velmora-sim commands at once: each change lands on top of the others.
        const SimStateFile file(folder() / "simcard");
        onThreads(4, 5s, [&](int) {
            for (int i = 0; i < 25; ++i)
                file.update([](SimState &state) { ++state.ports[0]; });
        });
        QCOMPARE(int(file.load().ports[0]), 4 * 25);
    }

    void loadRefuses_data()
    {
        QTest::addColumn<Spoil>("spoil");
        QTest::addColumn<bool>("namesFolder");
        QTest::addColumn<QString>("reason");
        const auto row = [](const char *name, bool namesFolder, const QString &reason,
                            Spoil spoil) {
            QTest::newRow(name) << spoil << namesFolder << reason;
        };
        const std::string valid = SimState{}.format();
        const auto withFile = [](std::string text, mode_t mode = 0600) {
            return [=](fs::path &folder) {
                writeFile(folder / "simcard", text, mode);
            };
        };
        // The ownership check is told the file or folder is another user's.
        const auto foreign = [valid](bool ofFolder) {
            return [=](fs::path &folder) {
                writeFile(folder / "simcard", valid);
                g_foreign = ofFolder ? folder : folder / "simcard";
                privateFileOwnerSeen = [](const fs::path &path, std::uint32_t reported) {
                    return path == g_foreign ? std::uint32_t(::geteuid() + 1) : reported;
                };
            };
        };
        const QString notYours = QStringLiteral("owned by user %1, not by you (uid %2); ")
                                     .arg(::geteuid() + 1)
                                     .arg(::geteuid());
        row("symlinked file", false,
            "is a symbolic link; refusing to follow it (remove it, then run 'velmora-sim reset')",
            [=](fs::path &folder) {
                writeFile(folder.parent_path() / "elsewhere", valid);
                fs::create_symlink(folder.parent_path() / "elsewhere", folder / "simcard");
            });
        row("symlinked folder", true, "is a symbolic link; refusing", [=](fs::path &folder) {
            const fs::path real = folder.parent_path() / "real";
            fs::rename(folder, real);
            writeFile(real / "simcard", valid);
            fs::create_directory_symlink(real, folder);
        });
        row("group-writable folder", true, "writable by group or others (mode 0770)",
            [=](fs::path &folder) {
                writeFile(folder / "simcard", valid);
                ::chmod(folder.c_str(), 0770);
            });
        // clang-format off
        row("group-writable file", false, "writable by group or others (mode 0620)", withFile(valid, 0620));
        row("other-writable file", false, "writable by group or others (mode 0602)", withFile(valid, 0602));
        row("another user's file", false, notYours, foreign(false));
        row("another user's folder", true, notYours + "you cannot use it: set XDG_RUNTIME_DIR to a folder only you can write (for example 'mkdir -m 700 ~/.velmora-run && export XDG_RUNTIME_DIR=~/.velmora-run')", foreign(true));
        row("FIFO", false, "is not a regular file", [](fs::path &folder) { ::mkfifo((folder / "simcard").c_str(), 0600); });
        row("folder as file", false, "is not a regular file", [](fs::path &folder) { fs::create_directory(folder / "simcard"); });
        row("oversize", false, "is 5000 bytes, more than a state file can be", withFile(valid + S(5000 - valid.size(), '#')));
        row("corrupt", false, "corrupt: line 2: port0 value 'zz' is not a number; run 'velmora-sim reset'", withFile(replaced(valid, "0x0000", "zz")));
        row("empty", false, "corrupt: empty", withFile(""));
        row("missing parent", true, "cannot create the folder: No such file or directory", [](fs::path &folder) { folder = folder.parent_path() / "missing" / "velmora"; });
        // clang-format on
    }

    void loadRefuses()
    {
        QFETCH(Spoil, spoil);
        QFETCH(bool, namesFolder);
        QFETCH(QString, reason);
        fs::path at = folder();
        fs::create_directory(at);
        ::chmod(at.c_str(), 0700);
        spoil(at);
        const SimStateFile file(at / "simcard");
        QString error;
        // Bounded: a FIFO opened without O_NONBLOCK would wait for a writer for ever.
        onThreads(1, 2s, [&](int) { error = errorFrom([&] { file.load(); }); });
        privateFileOwnerSeen = nullptr;
        const QString named = QString::fromStdString((namesFolder ? at : file.path()).string());
        QVERIFY2(error.startsWith(named + ": ") && error.contains(reason), qPrintable(error));
    }

    void storeReplacesByRename()
    {
        const SimStateFile file(folder() / "simcard");
        const QByteArray old = bytes(file.load().format());
        // A name held on the old file keeps its whole content: it was replaced, not rewritten.
        fs::create_hard_link(file.path(), root() / "old");
        file.store(goldenState());
        QCOMPARE(readAll(root() / "old"), old);
        QCOMPARE(readAll(file.path()), bytes(Golden));
        QCOMPARE(modeOf(file.path()), mode_t(0600));
        QCOMPARE(entries(folder()), QStringList{"simcard"});
    }

    void storeRefusesAndLeavesNothingBehind()
    {
        const SimStateFile file(folder() / "simcard");
        file.store(goldenState());
        // Every letter takes six bytes in the file: the name fits the system, not a state file.
        SimState state = goldenState();
        for (int i = 0; i < 700; ++i)
            state.trace += "/\xc3\xa9";
        QString error = errorFrom([&] { file.store(state); });
        QVERIFY2(error.contains(
                     "more than a state file can be (4096); name a trace file with a shorter path"),
                 qPrintable(error));
        QCOMPARE(file.load(), goldenState());

        // At exactly the limit a state is stored and read back; one byte more is refused.
        state = goldenState();
        state.trace = "/t";
        state.trace += std::string(4096 - state.format().size(), 'a');
        file.store(state);
        QCOMPARE(file.load(), state);
        state.trace += 'a';
        QVERIFY(errorFrom([&] { file.store(state); }).contains("more than a state file can be"));

        fs::remove(file.path());
        fs::create_directories(folder() / "simcard" / "inside");
        error = errorFrom([&] { file.store(goldenState()); });
        QVERIFY2(error.contains("cannot replace the file: Is a directory"), qPrintable(error));
        QCOMPARE(entries(folder()), QStringList{"simcard"});
    }
};

QTEST_GUILESS_MAIN(tst_SimState)
#include "tst_simstate.moc"
