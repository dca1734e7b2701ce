#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

// How long any velmora-sim may take, or be waited on, before the test fails: it never needs
// more than a moment, so a hang or a lost lock fails fast.
constexpr std::chrono::milliseconds Limit = 5s;

// Runs the built velmora-sim against a state file in a private temporary runtime folder.
class tst_VelmoraSim : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void freshCardShowsDefaults();
    void setThenGet_data();
    void setThenGet();
    void patternFaultAndReset();
    void helpAndVersion_data();
    void helpAndVersion();
    void badUsage_data();
    void badUsage();
    void unusableStateFile_data();
    void unusableStateFile();
    void traceToAnyPathAUserCanName_data();
    void traceToAnyPathAUserCanName();
    void traceThatCannotWorkIsRefusedAtOnce_data();
    void traceThatCannotWorkIsRefusedAtOnce();
    void failedOutputFailsTheCommand_data();
    void failedOutputFailsTheCommand();
    void folderPlantedByAnotherUserSaysWhatYouCanDo_data();
    void folderPlantedByAnotherUserSaysWhatYouCanDo();
    void everyChangeWaitsForOneInProgress_data();
    void everyChangeWaitsForOneInProgress();
    void waitGivesUpAfterItsPatience();
    void leftoversOfAKilledWriterAreRemoved();

private:
    struct Result {
        int exitCode = -1;
        QString out;
        QString err;
    };
    Result run(const QStringList &args, const QString &stdoutFile = {},
               const QString &stderrFile = {}, const QProcessEnvironment &extra = {});
    QProcessEnvironment environment() const;
    // Starts a change that stops, lock held, with its new state written but not yet in place.
    std::unique_ptr<QProcess> startPaused(const QStringList &args);
    QString statePath() const { return m_dir->path() + QStringLiteral("/velmora/simcard"); }
    void writeState(const QByteArray &content);

    QString m_binary;
    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

const QString Faultless = QStringLiteral("fault read0 none\n"
                                         "fault read1 none\n"
                                         "fault configure none\n"
                                         "fault select none\n"
                                         "trace off\n");

} // namespace

QProcessEnvironment tst_VelmoraSim::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir->path());
    return env;
}

tst_VelmoraSim::Result tst_VelmoraSim::run(const QStringList &args, const QString &stdoutFile,
                                           const QString &stderrFile,
                                           const QProcessEnvironment &extra)
{
    QProcess process;
    QProcessEnvironment env = environment();
    for (const QString &name : extra.keys())
        env.insert(name, extra.value(name));
    process.setProcessEnvironment(env);
    if (!stdoutFile.isEmpty())
        process.setStandardOutputFile(stdoutFile);
    if (!stderrFile.isEmpty())
        process.setStandardErrorFile(stderrFile);
    process.start(m_binary, args);
    if (!process.waitForFinished(int(Limit.count())) ||
        process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

void tst_VelmoraSim::writeState(const QByteArray &content)
{
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("velmora")));
    QFile::setPermissions(m_dir->path() + QStringLiteral("/velmora"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile file(statePath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

void tst_VelmoraSim::initTestCase()
{
    m_binary = qEnvironmentVariable("VELMORA_SIM_BINARY");
    QVERIFY2(QFile::exists(m_binary), "set VELMORA_SIM_BINARY to the built velmora-sim");
}

void tst_VelmoraSim::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_VelmoraSim::freshCardShowsDefaults()
{
    const Result result = run({QStringLiteral("get")});
    QCOMPARE(result.err, QString());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, QStringLiteral("port0 0x0000 0\nport1 0x0000 0\nport2 0x0000 0\n"
                                        "pattern count\n") +
                             Faultless);
    QVERIFY(QFile::exists(statePath()));
}

void tst_VelmoraSim::setThenGet_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("ports");

    QTest::newRow("decimal") << QStringList() << QStringList{"165", "60"}
                             << "port0 0x00a5 165\nport1 0x003c 60\nport2 0x0000 0\n";
    QTest::newRow("hex and negative")
        << QStringList() << QStringList{"0xA5", "-1", "0x8000"}
        << "port0 0x00a5 165\nport1 0xffff 65535\nport2 0x8000 32768\n";
    QTest::newRow("limits") << QStringList() << QStringList{"-32768", "65535", "0"}
                            << "port0 0x8000 32768\nport1 0xffff 65535\nport2 0x0000 0\n";
    QTest::newRow("two values keep port 2")
        << QStringList{"set", "1", "2", "3"} << QStringList{"4", "5"}
        << "port0 0x0004 4\nport1 0x0005 5\nport2 0x0003 3\n";
    QTest::newRow("pattern turned off") << QStringList{"pattern", "walk"} << QStringList{"7", "8"}
                                        << "port0 0x0007 7\nport1 0x0008 8\nport2 0x0000 0\n";
}

void tst_VelmoraSim::setThenGet()
{
    QFETCH(QStringList, before);
    QFETCH(QStringList, args);
    QFETCH(QString, ports);

    if (!before.isEmpty())
        QCOMPARE(run(before).exitCode, 0);
    const Result set = run(QStringList{"set"} + args);
    QCOMPARE(set.err, QString());
    QCOMPARE(set.exitCode, 0);
    QCOMPARE(run({"get"}).out, ports + "pattern off\n" + Faultless);
}

void tst_VelmoraSim::patternFaultAndReset()
{
    for (const QStringList &args :
         {QStringList{"set", "1", "2", "3"}, QStringList{"pattern", "random"},
          QStringList{"fault", "read1", "error"}, QStringList{"fault", "select", "nobool"},
          QStringList{"trace", "/tmp/velmora-trace/../ticks.log"}}) {
        QCOMPARE(run(args).exitCode, 0);
    }
    QCOMPARE(run({"get"}).out, QStringLiteral("port0 0x0001 1\nport1 0x0002 2\nport2 0x0003 3\n"
                                              "pattern random\n"
                                              "fault read0 none\n"
                                              "fault read1 error\n"
                                              "fault configure none\n"
                                              "fault select nobool\n"
                                              "trace /tmp/ticks.log\n"));
    QCOMPARE(run({"reset"}).exitCode, 0);
    QCOMPARE(run({"get"}).out,
             "port0 0x0000 0\nport1 0x0000 0\nport2 0x0000 0\npattern off\n" + Faultless);
}

void tst_VelmoraSim::helpAndVersion_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("version"); // the whole output; empty: the help text
    QTest::newRow("--help") << "--help" << QString();
    QTest::newRow("-h") << "-h" << QString();
    QTest::newRow("help") << "help" << QString();
    QTest::newRow("--version") << "--version"
                               << "velmora-sim 1.00\n";
}

void tst_VelmoraSim::helpAndVersion()
{
    QFETCH(QString, option);
    QFETCH(QString, version);
    const Result result = run({option});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QString());
    if (!version.isEmpty())
        QCOMPARE(result.out, version);
    for (const QString &part :
         {QStringLiteral("usage: velmora-sim"), QStringLiteral("set P0 P1 [P2]"),
          QStringLiteral("pattern NAME"), QStringLiteral("fault OP MODE"), QStringLiteral("reset"),
          statePath()})
        QVERIFY2(!version.isEmpty() || result.out.contains(part), qPrintable(part));
}

void tst_VelmoraSim::badUsage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("reason");

    const auto row = [](const char *name, QStringList args, const char *reason) {
        QTest::newRow(name) << args << QString::fromLatin1(reason);
    };
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
    row("unknown pattern", {"pattern", "blink"},
        "unknown pattern 'blink' (off, count, walk or random)");
    row("fault without mode", {"fault", "read0"}, "'fault' takes 2 arguments, not 1");
    row("unknown operation", {"fault", "write", "none"},
        "unknown operation 'write' (read0, read1, configure or select)");
    row("unknown mode", {"fault", "read0", "maybe"},
        "unknown fault mode 'maybe' (none, false, error or nobool)");
    row("get with argument", {"get", "now"}, "'get' takes 0 arguments, not 1");
    row("version with argument", {"--version", "now"}, "'--version' takes 0 arguments, not 1");
    // A bad value is quoted once, short, and harmless to the terminal.
    const QString huge(100000, '7');
    QTest::newRow("huge port value")
        << QStringList{"set", huge, "0"} << "port value '" + QString(32, '7') + "...' is ";
    row("escape sequence", {"pattern", "\x1b[2J\x1b]0;owned\x07"},
        "unknown pattern '\\x1b[2J\\x1b]0;owned\\x07'");
    row("C1 control", {"frob\u009b31m"}, "'frob\\xc2\\x9b31m'");
    QTest::newRow("non-ASCII stays") << QStringList{"fault", "r\u00e9ad0", "none"}
                                     << QStringLiteral("unknown operation 'r\u00e9ad0'");
}

void tst_VelmoraSim::badUsage()
{
    QFETCH(QStringList, args);
    QFETCH(QString, reason);
    const Result result = run(args);
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.startsWith("velmora-sim: ") && result.err.contains(reason),
             qPrintable(result.err));
    QVERIFY(result.err.contains("usage: velmora-sim"));
    QCOMPARE(result.out, QString());
    QCOMPARE(result.err.count(reason), 1);
    QVERIFY2(result.err.size() < 2000, qPrintable(QString::number(result.err.size())));
    for (const QChar c : result.err)
        QVERIFY2(c == '\n' || (c.unicode() >= 0x20 && c.unicode() != 0x7f &&
                               !(c.unicode() >= 0x80 && c.unicode() < 0xa0)),
                 qPrintable(QString::number(c.unicode(), 16)));
    // Refused before anything was touched.
    QVERIFY(!QFile::exists(statePath()));
}

void tst_VelmoraSim::unusableStateFile_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("get") << QStringList{"get"};
    QTest::newRow("set") << QStringList{"set", "1", "2"};
    QTest::newRow("pattern") << QStringList{"pattern", "off"};
    QTest::newRow("fault") << QStringList{"fault", "read0", "error"};
}

void tst_VelmoraSim::unusableStateFile()
{
    QFETCH(QStringList, args);
    const QByteArray corrupt = "velmora-simcard 1\nport0 zz\n";
    writeState(corrupt);

    const Result result = run(args);
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.startsWith("velmora-sim: " + statePath() + ": corrupt: line 2:"),
             qPrintable(result.err));
    QVERIFY(result.err.contains("velmora-sim reset"));
    QFile file(statePath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), corrupt);
    file.close();

    // reset never reads the old file, so it mends it.
    QCOMPARE(run({"reset"}).exitCode, 0);
    QCOMPARE(run({"get"}).exitCode, 0);
}

namespace {

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

std::unique_ptr<QProcess> tst_VelmoraSim::startPaused(const QStringList &args)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("VELMORA_SIM_TEST_PAUSE"), QStringLiteral("1"));
    process->setProcessEnvironment(env);
    process->start(m_binary, args);
    const QByteArray said = readErrorUntil(*process, "paused");
    if (!said.contains("paused"))
        qWarning("the paused change said: %s", said.constData());
    return process;
}

void tst_VelmoraSim::traceToAnyPathAUserCanName_data()
{
    QTest::addColumn<QString>("folder");
    QTest::newRow("plain") << "logs";
    QTest::newRow("space") << "Jane Doe/logs";
    QTest::newRow("non-ASCII") << QStringLiteral("jos\u00e9/\u65e5\u672c");
    QTest::newRow("percent sign") << "100%/x%41";
}

void tst_VelmoraSim::traceToAnyPathAUserCanName()
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
    QVERIFY2(run({"get"}).out.endsWith("trace " + trace + "\n"), qPrintable(run({"get"}).out));
}

void tst_VelmoraSim::traceThatCannotWorkIsRefusedAtOnce_data()
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

void tst_VelmoraSim::traceThatCannotWorkIsRefusedAtOnce()
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
        QFile file(trace);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QCOMPARE(::chmod(native.constData(), kind == "mode" ? 0666 : 0600), 0);
        if (kind == "owner" && (::geteuid() != 0 || ::chown(native.constData(), 65534, 65534) != 0))
            QSKIP("giving a file to another user needs root");
    }
    const Result result = run({"trace", trace});
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(result.err.startsWith("velmora-sim: ") && result.err.contains(reason),
             qPrintable(result.err));
    if (exitCode == 1)
        QVERIFY2(result.err.contains(trace), qPrintable(result.err)); // the path, and ...
    QVERIFY2(result.err.contains("name ") || result.err.contains("create it") ||
                 result.err.contains("chmod"),
             qPrintable(result.err)); // ... what to do
    QVERIFY(!QFile::exists(dir + "/elsewhere.log"));
    // Nothing changed: the state file was not even made.
    QVERIFY(!QFile::exists(statePath()));
}

void tst_VelmoraSim::failedOutputFailsTheCommand_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("toStandardError");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("--help") << QStringList{"--help"} << false << 1;
    QTest::newRow("get") << QStringList{"get"} << false << 1;
    QTest::newRow("usage to stderr") << QStringList{"frob"} << true << 2;
    QTest::newRow("refusal to stderr") << QStringList{"trace", "/dev/full"} << true << 1;
}

void tst_VelmoraSim::failedOutputFailsTheCommand()
{
    QFETCH(QStringList, args);
    QFETCH(bool, toStandardError);
    QFETCH(int, exitCode);
    const QString full = QStringLiteral("/dev/full");
    QCOMPARE(
        run(args, toStandardError ? QString() : full, toStandardError ? full : QString()).exitCode,
        exitCode);
}

void tst_VelmoraSim::folderPlantedByAnotherUserSaysWhatYouCanDo_data()
{
    QTest::addColumn<QString>("planted");
    QTest::addColumn<uid_t>("owner");
    QTest::addColumn<QString>("fix");

    QTest::newRow("another user's link") << "link" << uid_t(65534) << "ask the administrator";
    QTest::newRow("another user's folder") << "folder" << uid_t(65534) << "ask the administrator";
    QTest::newRow("another user's file") << "file" << uid_t(65534) << "ask the administrator";
    QTest::newRow("your own link") << "link" << ::geteuid() << "remove it, then run";
}

void tst_VelmoraSim::folderPlantedByAnotherUserSaysWhatYouCanDo()
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
        QCOMPARE(::symlink(QFile::encodeName(m_dir->path()).constData(), native.constData()), 0);
    } else if (planted == "folder") {
        QCOMPARE(::mkdir(native.constData(), 0700), 0);
    } else {
        QFile file(folder);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QCOMPARE(::lchown(native.constData(), owner, owner), 0);

    const Result result = run({"set", "1", "2"});
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.startsWith("velmora-sim: " + folder + ": "), qPrintable(result.err));
    QVERIFY2(result.err.contains(fix), qPrintable(result.err));
    if (owner != ::geteuid()) {
        QVERIFY2(result.err.contains("XDG_RUNTIME_DIR"), qPrintable(result.err));
        QVERIFY2(!result.err.contains("remove it,"), qPrintable(result.err));
    }
}

void tst_VelmoraSim::everyChangeWaitsForOneInProgress_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("after");

    const QString set = "port0 0x0001 1\nport1 0x0002 2\nport2 0x0000 0\npattern off\n";
    QTest::newRow("reset") << QStringList{"reset"}
                           << "port0 0x0000 0\nport1 0x0000 0\nport2 0x0000 0\npattern off\n"
                              "fault read0 none\n";
    QTest::newRow("set") << QStringList{"set", "7", "8", "9"}
                         << "port0 0x0007 7\nport1 0x0008 8\nport2 0x0009 9\npattern off\n"
                            "fault read0 error\n";
    QTest::newRow("pattern") << QStringList{"pattern", "walk"}
                             << "port0 0x0001 1\nport1 0x0002 2\nport2 0x0000 0\npattern walk\n"
                                "fault read0 error\n";
    QTest::newRow("fault") << QStringList{"fault", "read1", "false"}
                           << set + "fault read0 error\nfault read1 false\n";
    QTest::newRow("trace") << QStringList{"trace", "off"} << set + "fault read0 error\n";
}

// Another change is held, lock taken, just before it puts its new state in place; the change
// under test must wait for it, say so once, and then build on what it wrote.
void tst_VelmoraSim::everyChangeWaitsForOneInProgress()
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
             QStringLiteral("velmora-sim: waiting for another velmora-sim (process %1) to finish "
                            "with %2\n")
                 .arg(first->processId())
                 .arg(statePath()));

    first->closeWriteChannel();
    QVERIFY(first->waitForFinished(int(Limit.count())));
    QCOMPARE(first->exitCode(), 0);
    QVERIFY(second.waitForFinished(int(Limit.count())));
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(second.readAllStandardError(), QByteArray()); // said once
    const QString state = run({"get"}).out;
    QVERIFY2(state.startsWith(after), qPrintable(state));
}

void tst_VelmoraSim::waitGivesUpAfterItsPatience()
{
    const std::unique_ptr<QProcess> first = startPaused({"set", "1", "2"});
    QProcessEnvironment patience;
    patience.insert("VELMORA_SIM_TEST_PATIENCE_MS", "200");
    const Result second = run({"reset"}, {}, {}, patience);
    QCOMPARE(second.exitCode, 1);
    const QString &err = second.err;
    QCOMPARE(err.count("waiting for another velmora-sim"), 1);
    QVERIFY2(err.contains(QStringLiteral("%1/velmora: another velmora-sim (process %2) has kept "
                                         "it locked for 0.2 s")
                              .arg(m_dir->path())
                              .arg(first->processId())),
             qPrintable(err));
    first->closeWriteChannel();
    QVERIFY(first->waitForFinished(int(Limit.count())));
    QVERIFY(run({"get"}).out.startsWith("port0 0x0001 1\n")); // the patient one's change stands
}

void tst_VelmoraSim::leftoversOfAKilledWriterAreRemoved()
{
    const QString folder = m_dir->path() + "/velmora";
    const auto temporaries = [&] {
        return QDir(folder).entryList({".simcard.tmp.*"}, QDir::Files | QDir::Hidden, QDir::Name);
    };
    QCOMPARE(run({"get"}).exitCode, 0);
    const std::unique_ptr<QProcess> killed = startPaused({"set", "1", "2"});
    const QStringList left = temporaries();
    QCOMPARE(left.size(), 1);
    killed->kill();
    QVERIFY(killed->waitForFinished(int(Limit.count())));
    QCOMPARE(temporaries(), left);

    // Not a killed writer's: another naming, another file's, and one whose writer still lives.
    const QStringList kept = {".simcard.tmp.notes", ".simcard.tmp.1.2", ".other.tmp.1.2.3",
                              QStringLiteral(".simcard.tmp.%1.0.0").arg(::getpid())};
    for (const QString &name : kept) {
        QFile file(folder + '/' + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QCOMPARE(run({"set", "3", "4"}).exitCode, 0);
    QStringList now = QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    now.removeOne("simcard");
    QStringList expected = kept;
    expected.sort();
    QCOMPARE(now, expected);
}

QTEST_GUILESS_MAIN(tst_VelmoraSim)
#include "tst_velmorasim.moc"
