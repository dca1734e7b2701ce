#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <functional>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

// How long any velmora-sim may take, or be waited on, before the test fails: it never needs
// more than a moment, so a hang or a lost lock fails fast.
constexpr std::chrono::milliseconds Limit = 5s;

namespace {

const QString Faultless = QStringLiteral("fault read0 none\n"
                                         "fault read1 none\n"
                                         "fault configure none\n"
                                         "fault select none\n"
                                         "trace off\n");

// What 'get' shows for these port values and pattern: each value in hex, then in decimal.
QString shown(std::initializer_list<int> ports, const char *pattern = "off")
{
    QString text;
    int port = 0;
    for (const int v : ports)
        text += QStringLiteral("port%1 0x%2 %3\n").arg(port++).arg(v, 4, 16, QChar('0')).arg(v);
    return text + "pattern " + pattern + "\n";
}

// What `process` says on standard error until it says `marker`, ends, or Limit passes.
QByteArray readErrorUntil(QProcess &process, const QByteArray &marker)
{
    process.setReadChannel(QProcess::StandardError);
    QByteArray said;
    while (!said.contains(marker) && process.waitForReadyRead(int(Limit.count())))
        said += process.readAllStandardError();
    return said;
}

} // namespace

// Runs the built velmora-sim against a state file in a private temporary runtime folder.
class tst_VelmoraSim final : public QObject {
    Q_OBJECT

    struct Result {
        int exitCode = -1;
        QString out;
        QString err;
    };
    QString m_binary;
    std::unique_ptr<QTemporaryDir> m_dir;

    QString statePath() const { return m_dir->path() + QStringLiteral("/velmora/simcard"); }

    QProcessEnvironment environment(const QString &name = {}, const QString &value = {}) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir->path());
        if (!name.isEmpty())
            env.insert(name, value);
        return env;
    }

    // `prepare` may redirect the output or change the environment before the start.
    Result run(const QStringList &args, const std::function<void(QProcess &)> &prepare = {})
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        if (prepare)
            prepare(process);
        process.start(m_binary, args);
        if (!process.waitForFinished(int(Limit.count())) ||
            process.exitStatus() != QProcess::NormalExit)
            return {};
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }

    QString get() { return run({"get"}).out; }

    // Starts a change that stops, lock held, with its new state written but not yet in place.
    std::unique_ptr<QProcess> startPaused(const QStringList &args)
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment("VELMORA_SIM_TEST_PAUSE", "1"));
        process->start(m_binary, args);
        const QByteArray said = readErrorUntil(*process, "paused");
        if (!said.contains("paused"))
            qWarning("the paused change said: %s", said.constData());
        return process;
    }

private slots:
    void initTestCase()
    {
        m_binary = qEnvironmentVariable("VELMORA_SIM_BINARY");
        QVERIFY2(QFile::exists(m_binary), "set VELMORA_SIM_BINARY to the built velmora-sim");
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void commandsThenGet_data()
    {
        QTest::addColumn<QList<QStringList>>("commands");
        QTest::addColumn<QString>("shows");
        const auto row = [](const char *name, const QList<QStringList> &commands,
                            const QString &shows) {
            QTest::newRow(name) << commands << shows;
        };
        const QList<QStringList> changeAll = {{"set", "1", "2", "3"},
                                              {"pattern", "random"},
                                              {"fault", "read1", "error"},
                                              {"fault", "select", "nobool"},
                                              {"trace", "/tmp/velmora-trace/../ticks.log"}};
        // clang-format off
        row("fresh card", {}, "port0 0x0000 0\nport1 0x0000 0\nport2 0x0000 0\npattern count\n" + Faultless);
        row("set decimal", {{"set", "165", "60"}}, shown({165, 60, 0}) + Faultless);
        row("set hex and negative", {{"set", "0xA5", "-1", "0x8000"}}, shown({165, 65535, 32768}) + Faultless);
        row("set limits", {{"set", "-32768", "65535", "0"}}, shown({32768, 65535, 0}) + Faultless);
        row("two values keep port 2", {{"set", "1", "2", "3"}, {"set", "4", "5"}}, shown({4, 5, 3}) + Faultless);
        row("set turns the pattern off", {{"pattern", "walk"}, {"set", "7", "8"}}, shown({7, 8, 0}) + Faultless);
        row("every field changed", changeAll, "port0 0x0001 1\nport1 0x0002 2\nport2 0x0003 3\npattern random\nfault read0 none\n"
                                              "fault read1 error\nfault configure none\nfault select nobool\ntrace /tmp/ticks.log\n");
        row("reset", changeAll + QList<QStringList>{{"reset"}}, shown({0, 0, 0}) + Faultless);
        // clang-format on
    }

    void commandsThenGet()
    {
        QFETCH(QList<QStringList>, commands);
        QFETCH(QString, shows);
        for (const QStringList &args : commands) {
            const Result result = run(args);
            QVERIFY2(result.exitCode == 0 && result.err.isEmpty(), qPrintable(result.err));
        }
        const Result result = run({"get"});
        QCOMPARE(result.err, QString());
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out, shows);
        QVERIFY(QFile::exists(statePath()));
    }

    void helpAndVersion_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("version"); // the whole output; empty: the help text
        for (const char *help : {"--help", "-h", "help"})
            QTest::newRow(help) << help << QString();
        QTest::newRow("--version") << "--version"
                                   << "velmora-sim 1.00\n";
    }

    void helpAndVersion()
    {
        QFETCH(QString, option);
        QFETCH(QString, version);
        const Result result = run({option});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.err, QString());
        if (!version.isEmpty())
            QCOMPARE(result.out, version);
        for (const QString &part :
             QStringList{"usage: velmora-sim", "set P0 P1 [P2]", "pattern NAME", "fault OP MODE",
                         "reset", statePath()})
            QVERIFY2(!version.isEmpty() || result.out.contains(part), qPrintable(part));
    }

    void badUsage_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("reason");
        const auto row = [](const char *name, QStringList args, const QString &reason) {
            QTest::newRow(name) << args << reason;
        };
        // clang-format off
        row("nothing", {}, "no command given");
        row("unknown command", {"frob"}, "unknown command 'frob'");
        row("set one value", {"set", "1"}, "'set' takes 2 or 3 arguments, not 1");
        row("set four values", {"set", "1", "2", "3", "4"}, "'set' takes 2 or 3 arguments, not 4");
        row("too large", {"set", "65536", "0"}, "'65536' is out of range (-32768..65535)");
        row("too small", {"set", "0", "-32769"}, "'-32769' is out of range");
        row("bare 0x", {"set", "0x", "0"}, "'0x' is not a number");
        row("trailing junk", {"set", "12abc", "0"}, "'12abc' is not a number");
        row("plus sign", {"set", "+1", "0"}, "'+1' is not a number");
        row("pattern missing", {"pattern"}, "'pattern' takes 1 argument, not 0");
        row("unknown pattern", {"pattern", "blink"}, "unknown pattern 'blink' (off, count, walk or random)");
        row("fault without mode", {"fault", "read0"}, "'fault' takes 2 arguments, not 1");
        row("unknown operation", {"fault", "write", "none"}, "unknown operation 'write' (read0, read1, configure or select)");
        row("unknown mode", {"fault", "read0", "maybe"}, "unknown fault mode 'maybe' (none, false, error or nobool)");
        row("get with argument", {"get", "now"}, "'get' takes 0 arguments, not 1");
        row("version with argument", {"--version", "now"}, "'--version' takes 0 arguments, not 1");
        // A bad value is quoted once, short, and harmless to the terminal.
        row("huge port value", {"set", QString(100000, '7'), "0"}, "port value '" + QString(32, '7') + "...' is ");
        row("escape sequence", {"pattern", "\x1b[2J\x1b]0;owned\x07"}, "unknown pattern '\\x1b[2J\\x1b]0;owned\\x07'");
        row("C1 control", {"frob\u009b31m"}, "'frob\\xc2\\x9b31m'");
        row("non-ASCII stays", {"fault", "r\u00e9ad0", "none"}, "unknown operation 'r\u00e9ad0'");
        // clang-format on
    }

    void badUsage()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, reason);
        const Result result = run(args);
        QCOMPARE(result.exitCode, 2);
        QCOMPARE(result.out, QString());
        QVERIFY2(result.err.startsWith("velmora-sim: ") && result.err.count(reason) == 1 &&
                     result.err.contains("usage: velmora-sim") && result.err.size() < 2000,
                 qPrintable(result.err));
        for (const QChar c : result.err)
            QVERIFY2(c == '\n' || (c.unicode() >= 0x20 && c.unicode() != 0x7f &&
                                   !(c.unicode() >= 0x80 && c.unicode() < 0xa0)),
                     qPrintable(QString::number(c.unicode(), 16)));
        QVERIFY(!QFile::exists(statePath())); // refused before anything was touched
    }

    void unusableStateFile_data()
    {
        QTest::addColumn<QStringList>("args");
        for (const QStringList &args : QList<QStringList>{
                 {"get"}, {"set", "1", "2"}, {"pattern", "off"}, {"fault", "read0", "error"}})
            QTest::newRow(qPrintable(args.first())) << args;
    }

    void unusableStateFile()
    {
        QFETCH(QStringList, args);
        const QByteArray corrupt = "velmora-simcard 1\nport0 zz\n";
        QVERIFY(QDir(m_dir->path()).mkdir("velmora"));
        QFile file(statePath());
        QVERIFY(QFile::setPermissions(m_dir->path() + "/velmora",
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) &&
                file.open(QIODevice::WriteOnly) && file.write(corrupt) == corrupt.size());
        file.close();

        const Result result = run(args);
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.startsWith("velmora-sim: " + statePath() + ": corrupt: line 2:") &&
                     result.err.contains("velmora-sim reset"),
                 qPrintable(result.err));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), corrupt);
        // reset never reads the old file, so it mends it.
        QCOMPARE(run({"reset"}).exitCode, 0);
        QCOMPARE(run({"get"}).exitCode, 0);
    }

    void traceToAnyPathAUserCanName_data()
    {
        QTest::addColumn<QString>("folder");
        for (const QString &folder :
             {QStringLiteral("logs"), QStringLiteral("Jane Doe/logs"),
              QStringLiteral("jos\u00e9/\u65e5\u672c"), QStringLiteral("100%/x%41")})
            QTest::newRow(folder.toUtf8()) << folder;
    }

    void traceToAnyPathAUserCanName()
    {
        QFETCH(QString, folder);
        QVERIFY(QDir(m_dir->path()).mkpath(folder));
        const QString trace = m_dir->path() + '/' + folder + "/ticks log.txt";
        const Result result = run({"trace", trace});
        QCOMPARE(result.err, QString());
        QCOMPARE(result.exitCode, 0);
        // Created at once, private to the user.
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(trace).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, mode_t(0600));
        const QString out = get();
        QVERIFY2(out.endsWith("trace " + trace + "\n"), qPrintable(out));
    }

    void traceThatCannotWorkIsRefusedAtOnce_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("reason");
        QTest::newRow("empty") << "empty" << 2 << "'trace' takes a file name or 'off'";
        QTest::newRow("/dev/full") << "device" << 1 << "it is a device, not a regular file";
        QTest::newRow("folder") << "folder" << 1 << "it is a folder";
        QTest::newRow("missing folder") << "missing" << 1 << "does not exist: create it";
        QTest::newRow("named pipe") << "fifo" << 1 << "it is a named pipe";
        QTest::newRow("symbolic link") << "link" << 1 << "symbolic link";
        QTest::newRow("writable by others") << "mode" << 1 << "others may write it (mode 0666)";
        QTest::newRow("another user's") << "owner" << 1 << "belongs to user 65534";
    }

    void traceThatCannotWorkIsRefusedAtOnce()
    {
        QFETCH(QString, kind);
        QFETCH(int, exitCode);
        QFETCH(QString, reason);
        const QString dir = m_dir->path();
        QString trace = dir + "/ticks.log";
        const QByteArray native = QFile::encodeName(trace);
        if (kind == "empty") {
            trace.clear();
        } else if (kind == "device") {
            trace = "/dev/full";
        } else if (kind == "folder") {
            trace = dir;
        } else if (kind == "missing") {
            trace = dir + "/missing/ticks.log";
        } else if (kind == "fifo") {
            QCOMPARE(::mkfifo(native.constData(), 0600), 0);
        } else if (kind == "link") {
            QVERIFY(QFile::link(dir + "/elsewhere.log", trace));
        } else {
            QVERIFY(QFile(trace).open(QIODevice::WriteOnly));
            QCOMPARE(::chmod(native.constData(), kind == "mode" ? 0666 : 0600), 0);
            if (kind == "owner" &&
                (::geteuid() != 0 || ::chown(native.constData(), 65534, 65534) != 0))
                QSKIP("giving a file to another user needs root");
        }
        const Result result = run({"trace", trace});
        QCOMPARE(result.exitCode, exitCode);
        // The reason, the path, and what to do.
        QVERIFY2(result.err.startsWith("velmora-sim: ") && result.err.contains(reason) &&
                     (exitCode != 1 || result.err.contains(trace)) &&
                     (result.err.contains("name ") || result.err.contains("create it") ||
                      result.err.contains("chmod")),
                 qPrintable(result.err));
        QVERIFY(!QFile::exists(dir + "/elsewhere.log"));
        QVERIFY(!QFile::exists(statePath())); // nothing changed: the state file was not even made
    }

    void failedOutputFailsTheCommand_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("toStandardError");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("--help") << QStringList{"--help"} << false << 1;
        QTest::newRow("get") << QStringList{"get"} << false << 1;
        QTest::newRow("usage to stderr") << QStringList{"frob"} << true << 2;
        QTest::newRow("refusal to stderr") << QStringList{"trace", "/dev/full"} << true << 1;
    }

    void failedOutputFailsTheCommand()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, toStandardError);
        QFETCH(int, exitCode);
        const Result result = run(args, [&](QProcess &process) {
            toStandardError ? process.setStandardErrorFile("/dev/full")
                            : process.setStandardOutputFile("/dev/full");
        });
        QCOMPARE(result.exitCode, exitCode);
    }

    void folderPlantedByAnotherUserSaysWhatYouCanDo_data()
    {
        QTest::addColumn<QString>("planted");
        QTest::addColumn<uid_t>("owner");
        QTest::addColumn<QString>("fix");
        // clang-format off
        QTest::newRow("another user's link") << "link" << uid_t(65534) << "ask the administrator";
        QTest::newRow("another user's folder") << "folder" << uid_t(65534) << "ask the administrator";
        QTest::newRow("another user's file") << "file" << uid_t(65534) << "ask the administrator";
        QTest::newRow("your own link") << "link" << ::geteuid() << "remove it, then run";
        // clang-format on
    }

    void folderPlantedByAnotherUserSaysWhatYouCanDo()
    {
        QFETCH(QString, planted);
        QFETCH(uid_t, owner);
        QFETCH(QString, fix);
        if (owner != ::geteuid() && ::geteuid() != 0)
            QSKIP("planting as another user needs root");
        // As in /tmp, where anyone may put a velmora-UID in another user's way.
        const QString folder = m_dir->path() + "/velmora";
        const QByteArray native = QFile::encodeName(folder);
        if (planted == "link") {
            QCOMPARE(::symlink(QFile::encodeName(m_dir->path()).constData(), native.constData()),
                     0);
        } else if (planted == "folder") {
            QCOMPARE(::mkdir(native.constData(), 0700), 0);
        } else {
            QVERIFY(QFile(folder).open(QIODevice::WriteOnly));
        }
        QCOMPARE(::lchown(native.constData(), owner, owner), 0);

        const Result result = run({"set", "1", "2"});
        QCOMPARE(result.exitCode, 1);
        const bool foreign = owner != ::geteuid();
        QVERIFY2(result.err.startsWith("velmora-sim: " + folder + ": ") &&
                     result.err.contains(fix) &&
                     (!foreign || (result.err.contains("XDG_RUNTIME_DIR") &&
                                   !result.err.contains("remove it,"))),
                 qPrintable(result.err));
    }

    void everyChangeWaitsForOneInProgress_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("after");
        // clang-format off
        QTest::newRow("reset") << QStringList{"reset"} << shown({0, 0, 0}) + "fault read0 none\n";
        QTest::newRow("set") << QStringList{"set", "7", "8", "9"} << shown({7, 8, 9}) + "fault read0 error\n";
        QTest::newRow("pattern") << QStringList{"pattern", "walk"} << shown({1, 2, 0}, "walk") + "fault read0 error\n";
        QTest::newRow("fault") << QStringList{"fault", "read1", "false"} << shown({1, 2, 0}) + "fault read0 error\nfault read1 false\n";
        QTest::newRow("trace") << QStringList{"trace", "off"} << shown({1, 2, 0}) + "fault read0 error\n";
        // clang-format on
    }

    // Another change is held, lock taken, just before it puts its new state in place; the change
    // under test must wait for it, say so once, and then build on what it wrote.
    void everyChangeWaitsForOneInProgress()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, after);
        QCOMPARE(run({"fault", "read0", "error"}).exitCode, 0);
        const std::unique_ptr<QProcess> first = startPaused({"set", "1", "2"});
        QCOMPARE(first->state(), QProcess::Running);
        QProcess second;
        second.setProcessEnvironment(environment());
        second.start(m_binary, args);
        const QByteArray said = readErrorUntil(second, "\n");
        // Had it not waited, it would be done by now, and the held change would undo it.
        QCOMPARE(second.state(), QProcess::Running);
        QCOMPARE(QString::fromUtf8(said),
                 QStringLiteral("velmora-sim: waiting for another velmora-sim (process %1) to "
                                "finish with %2\n")
                     .arg(first->processId())
                     .arg(statePath()));
        first->closeWriteChannel();
        QVERIFY(first->waitForFinished(int(Limit.count())) && first->exitCode() == 0);
        QVERIFY(second.waitForFinished(int(Limit.count())) && second.exitCode() == 0);
        QCOMPARE(second.readAllStandardError(), QByteArray()); // said once
        const QString state = get();
        QVERIFY2(state.startsWith(after), qPrintable(state));
    }

    void waitGivesUpAfterItsPatience()
    {
        const std::unique_ptr<QProcess> first = startPaused({"set", "1", "2"});
        const Result second = run({"reset"}, [&](QProcess &process) {
            process.setProcessEnvironment(environment("VELMORA_SIM_TEST_PATIENCE_MS", "200"));
        });
        QCOMPARE(second.exitCode, 1);
        QCOMPARE(second.err.count("waiting for another velmora-sim"), 1);
        QVERIFY2(second.err.contains(QStringLiteral("%1/velmora: another velmora-sim (process %2) "
                                                    "has kept it locked for 0.2 s")
                                         .arg(m_dir->path())
                                         .arg(first->processId())),
                 qPrintable(second.err));
        first->closeWriteChannel();
        QVERIFY(first->waitForFinished(int(Limit.count())));
        QVERIFY(get().startsWith("port0 0x0001 1\n")); // the patient one's change stands
    }

    void leftoversOfAKilledWriterAreRemoved()
    {
        const QString folder = m_dir->path() + "/velmora";
        const auto files = [&](const QString &pattern) {
            return QDir(folder).entryList({pattern}, QDir::Files | QDir::Hidden, QDir::Name);
        };
        QCOMPARE(run({"get"}).exitCode, 0);
        const std::unique_ptr<QProcess> killed = startPaused({"set", "1", "2"});
        const QStringList left = files(".simcard.tmp.*");
        QCOMPARE(left.size(), 1);
        const qint64 killedPid = killed->processId();
        killed->kill();
        QVERIFY(killed->waitForFinished(int(Limit.count())));
        QCOMPARE(files(".simcard.tmp.*"), left);

        // Not a killed writer's: another naming, another file's, and one whose writer still lives.
        QStringList kept = {".other.tmp.1.2.3", ".simcard.tmp.1.2", ".simcard.tmp.notes",
                            QStringLiteral(".simcard.old.%1.0.0").arg(killedPid),
                            QStringLiteral(".simcard.tmp.%1.0.0").arg(::getpid())};
        for (const QString &name : kept)
            QVERIFY(QFile(folder + '/' + name).open(QIODevice::WriteOnly));
        QCOMPARE(run({"set", "3", "4"}).exitCode, 0);
        kept << "simcard";
        kept.sort();
        QCOMPARE(files("*"), kept);
    }
};

QTEST_GUILESS_MAIN(tst_VelmoraSim)
#include "tst_velmorasim.moc"
