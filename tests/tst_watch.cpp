#include "automation/automation_error.h"
#include "automation/device_control.h"
#include "fakes.h"
#include "line_watch.h"
#include "watch_options.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace velmora;
using namespace velmora::watch;
using namespace std::chrono_literals;
using velmora::testing::RecordingControl;

namespace {

using Samples = QList<QPair<int, int>>; // what ports 0 and 1 deliver, sample by sample

// A clock that moves only when the watch pauses, and a pause that can be told to report a
// signal at its n-th wait.
struct FakeTime final : Pause {
    std::chrono::steady_clock::time_point steady{};
    std::chrono::system_clock::time_point wall{std::chrono::milliseconds(1'796'000'000'123)};
    int waits = 0;
    int signalAtWait = 0; // 0: never

    bool until(std::chrono::steady_clock::time_point due) override
    {
        if (++waits == signalAtWait)
            return false;
        wall += due - steady;
        steady = due;
        return true;
    }
};

// A control answering ConfigurePorts, then each sample's two reads from the list.
void script(RecordingControl &control, const Samples &samples)
{
    control.script.push_back({});
    for (const auto &[port0, port1] : samples) {
        control.script.push_back({DispatchOutcome::boolean(true), std::int16_t(port0)});
        control.script.push_back({DispatchOutcome::boolean(true), std::int16_t(port1)});
    }
}

struct Run {
    int status = -1;
    QStringList lines;
    std::uint64_t changes = 0;
    int samples = 0;
};

// Watches `samples` at 100 ms; with no other end given, times out just after the last one.
Run watchSamples(const Samples &samples, Options options, FakeTime &time)
{
    RecordingControl control;
    script(control, samples);
    DeviceControl device(control);
    if (!options.timeout && !options.count && options.until.empty())
        options.timeout = options.interval * samples.size() - options.interval / 2;
    Run run;
    LineWatch watch(
        device, options,
        [&run](std::string_view line) {
            run.lines << QString::fromStdString(std::string(line)).chopped(1);
            return true;
        },
        time, [&time] { return time.steady; }, [&time] { return time.wall; });
    run.status = watch.run();
    run.changes = watch.changes();
    run.samples = int(control.calls.size() - 1) / 2;
    return run;
}

Run watchSamples(const Samples &samples, Options options = {})
{
    FakeTime time;
    return watchSamples(samples, std::move(options), time);
}

QStringList names(const QJsonValue &array)
{
    QStringList list;
    for (const QJsonValue &name : array.toArray())
        list << name.toString();
    return list;
}

QString binary(const char *name)
{
    return QFileInfo(qEnvironmentVariable("VELMORA_SIM_BINARY")).dir().filePath(name);
}

} // namespace

class tst_Watch final : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void logsTheStartAndEachChange_data();
    void logsTheStartAndEachChange();
    void formatsParseBackToTheSameValues_data();
    void formatsParseBackToTheSameValues();
    void endsAsAsked_data();
    void endsAsAsked();
    void cardFailureMidRunStopsTheWatch();
    void options_data();
    void options();
    void programExitStatuses_data();
    void programExitStatuses();
    void signalReleasesTheCardAndEndsWithZero();

private:
    QProcess *start(const QStringList &args);
    void sim(const QStringList &args);

    std::unique_ptr<QTemporaryDir> m_runtime;
    std::unique_ptr<QTemporaryDir> m_config;
    QProcessEnvironment m_environment;
};

void tst_Watch::init()
{
    // The simulated card on a private state file, and no card remembered.
    m_runtime = std::make_unique<QTemporaryDir>();
    m_config = std::make_unique<QTemporaryDir>();
    m_environment = QProcessEnvironment::systemEnvironment();
    m_environment.insert("XDG_RUNTIME_DIR", m_runtime->path());
    m_environment.insert("XDG_CONFIG_HOME", m_config->path());
}

void tst_Watch::cleanup()
{
    m_runtime.reset();
    m_config.reset();
}

void tst_Watch::logsTheStartAndEachChange_data()
{
    QTest::addColumn<Samples>("samples");
    QTest::addColumn<QStringList>("expected"); // CSV lines less time and elapsed

    QTest::newRow("nothing changes: the start line alone")
        << Samples{{0xA5, 0x3C}, {0xA5, 0x3C}, {0xA5, 0x3C}} << QStringList{"start,0xA5,0x3C,,"};
    QTest::newRow("one change") << Samples{{0xA5, 0x3C}, {0xA5, 0x3C}, {0xA4, 0x3D}, {0xA4, 0x3D}}
                                << QStringList{"start,0xA5,0x3C,,", "change,0xA4,0x3D,D8,D0"};
    QTest::newRow("only the low byte counts")
        << Samples{{0x00A5, 0x0000}, {0xFFA5, -1 & 0xFF00}, {-0x5B, 0x0100}}
        << QStringList{"start,0xA5,0x00,,"};
    QTest::newRow("there and back")
        << Samples{{0, 0}, {0x81, 0x80}, {0, 0}}
        << QStringList{"start,0x00,0x00,,", "change,0x81,0x80,D0 D7 D15,",
                       "change,0x00,0x00,,D0 D7 D15"};
    QTest::newRow("all lines at start")
        << Samples{{0xFF, 0xFF}} << QStringList{"start,0xFF,0xFF,,"};
}

void tst_Watch::logsTheStartAndEachChange()
{
    QFETCH(Samples, samples);
    QFETCH(QStringList, expected);

    Options options;
    options.format = Format::Csv;
    const Run run = watchSamples(samples, options);
    QCOMPARE(run.status, exit_status::TimedOut);
    QCOMPARE(run.samples, samples.size());
    QCOMPARE(run.lines.size(), expected.size() + 1); // the header first
    for (qsizetype i = 0; i < expected.size(); ++i)
        QCOMPARE(run.lines[i + 1].section(',', 2), expected[i]);
    QCOMPARE(run.changes, std::uint64_t(expected.size() - 1));
}

void tst_Watch::formatsParseBackToTheSameValues_data()
{
    QTest::addColumn<int>("format");
    QTest::newRow("text") << int(Format::Text);
    QTest::newRow("csv") << int(Format::Csv);
    QTest::newRow("json") << int(Format::Json);
}

void tst_Watch::formatsParseBackToTheSameValues()
{
    QFETCH(int, format);

    // A start and two changes, 250 ms apart at an interval of 125 ms.
    const Samples samples{{0x01, 0x00}, {0x01, 0x00}, {0x02, 0x80}, {0x02, 0x80}, {0x03, 0x00}};
    Options options;
    options.format = Format(format);
    options.interval = 125ms;
    FakeTime time;
    const QDateTime started = QDateTime::fromMSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::milliseconds>(time.wall.time_since_epoch())
            .count());
    const Run run = watchSamples(samples, options, time);

    struct Line {
        QString event;
        int elapsedMs;
        int port0, port1;
        QStringList rose, fell;
    };
    const QList<Line> expected{{"start", 0, 0x01, 0x00, {}, {}},
                               {"change", 250, 0x02, 0x80, {"D1", "D15"}, {"D0"}},
                               {"change", 500, 0x03, 0x00, {"D0"}, {"D15"}}};
    QStringList lines = run.lines;
    if (options.format == Format::Csv)
        QCOMPARE(lines.takeFirst(), QString("time,elapsed_s,event,port0,port1,rose,fell"));
    QCOMPARE(lines.size(), expected.size());

    for (qsizetype i = 0; i < lines.size(); ++i) {
        const Line &want = expected[i];
        QString time, elapsed, event, port0, port1;
        QStringList rose, fell;
        if (options.format == Format::Json) {
            QJsonParseError error{};
            const QJsonObject object = QJsonDocument::fromJson(lines[i].toUtf8(), &error).object();
            QCOMPARE(error.error, QJsonParseError::NoError);
            time = object["time"].toString();
            elapsed = QString::number(object["elapsed"].toDouble(), 'f', 3);
            event = object["event"].toString();
            port0 = object["port0"].toString();
            port1 = object["port1"].toString();
            rose = names(object["rose"]);
            fell = names(object["fell"]);
        } else if (options.format == Format::Csv) {
            const QStringList fields = lines[i].split(',');
            QCOMPARE(fields.size(), 7);
            time = fields[0];
            elapsed = fields[1];
            event = fields[2];
            port0 = fields[3];
            port1 = fields[4];
            rose = fields[5].split(' ', Qt::SkipEmptyParts);
            fell = fields[6].split(' ', Qt::SkipEmptyParts);
        } else {
            static const QRegularExpression text(
                R"(^(\S+)  \+(\d+\.\d{3})s  port0 (0x[0-9A-F]{2})  port1 (0x[0-9A-F]{2})( +start)?)"
                R"((?:  rose ([D0-9 ]+?))?(?:  fell ([D0-9 ]+))?$)");
            const QRegularExpressionMatch match = text.match(lines[i]);
            QVERIFY2(match.hasMatch(), qPrintable(lines[i]));
            time = match.captured(1);
            elapsed = match.captured(2);
            event = match.captured(5).isEmpty() ? "change" : "start";
            port0 = match.captured(3);
            port1 = match.captured(4);
            rose = match.captured(6).split(' ', Qt::SkipEmptyParts);
            fell = match.captured(7).split(' ', Qt::SkipEmptyParts);
        }
        const QDateTime at = QDateTime::fromString(time, Qt::ISODateWithMs);
        QVERIFY2(at.isValid(), qPrintable(time));
        QCOMPARE(at.toMSecsSinceEpoch(), started.toMSecsSinceEpoch() + want.elapsedMs);
        QCOMPARE(elapsed, QString::number(want.elapsedMs / 1000.0, 'f', 3));
        QCOMPARE(event, want.event);
        bool ok = false;
        QCOMPARE(port0.toInt(&ok, 16), want.port0);
        QCOMPARE(port1.toInt(&ok, 16), want.port1);
        QCOMPARE(rose, want.rose);
        QCOMPARE(fell, want.fell);
    }
}

void tst_Watch::endsAsAsked_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<Samples>("samples");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("sampled");
    QTest::addColumn<int>("elapsedMs"); // on the watch's clock when it ended

    const Samples rising{{0, 0}, {0, 0}, {0x01, 0}, {0x01, 0x02}, {0, 0x02}, {0, 0}};
    QTest::newRow("until a line rises")
        << QStringList{"--until", "D9=1"} << rising << 0 << 4 << 300;
    QTest::newRow("until two hold at once")
        << QStringList{"--until", "D9=1", "--until=d0=0"} << rising << 0 << 5 << 400;
    QTest::newRow("until it holds at start")
        << QStringList{"--until", "D5=0"} << rising << 0 << 1 << 0;
    QTest::newRow("count changes") << QStringList{"--count", "2"} << rising << 0 << 4 << 300;
    QTest::newRow("count 0: the state at start")
        << QStringList{"--count", "0"} << rising << 0 << 1 << 0;
    QTest::newRow("timeout before the condition")
        << QStringList{"--until", "D9=1", "--timeout", "0.25"} << rising << 3 << 3 << 250;
    QTest::newRow("timeout 0") << QStringList{"--timeout", "0"} << rising << 3 << 1 << 0;
    QTest::newRow("a signal") << QStringList{"--until", "D9=1", "signal"} << rising << 0 << 2
                              << 100;
}

void tst_Watch::endsAsAsked()
{
    QFETCH(QStringList, args);
    QFETCH(Samples, samples);
    QFETCH(int, status);
    QFETCH(int, sampled);
    QFETCH(int, elapsedMs);

    FakeTime time;
    if (args.removeAll("signal") > 0)
        time.signalAtWait = 2;
    std::vector<std::string> storage;
    for (const QString &arg : args)
        storage.push_back(arg.toStdString());
    const std::vector<std::string_view> views(storage.begin(), storage.end());
    const Run run = watchSamples(samples, parseOptions(views), time);
    QCOMPARE(run.status, status);
    QCOMPARE(run.samples, sampled);
    QCOMPARE(std::chrono::duration_cast<std::chrono::milliseconds>(time.steady.time_since_epoch())
                 .count(),
             elapsedMs);
}

void tst_Watch::cardFailureMidRunStopsTheWatch()
{
    RecordingControl control;
    script(control, {{0x10, 0}, {0x11, 0}});
    control.script.push_back({DispatchOutcome::boolean(true), std::int16_t(0x12)});
    control.script.push_back({DispatchOutcome::failure(57, "Simulated card: read failed"), {}});
    DeviceControl device(control);
    FakeTime time;
    Options options;
    QStringList lines;
    LineWatch watch(
        device, options,
        [&lines](std::string_view line) {
            lines << QString::fromStdString(std::string(line));
            return true;
        },
        time, [&time] { return time.steady; }, [&time] { return time.wall; });
    try {
        watch.run();
        QFAIL("a failed read must end the watch with the card's error");
    } catch (const AutomationError &error) {
        QCOMPARE(error.code(), 57);
        QCOMPARE(runtimeErrorLine(error),
                 std::string("Velmora: Run-time error '57': Simulated card: read failed"));
    }
    QCOMPARE(lines.size(), 2); // the start and the change before the failure
    QCOMPARE(control.calls.size(), 7u);
}

void tst_Watch::options_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("problem"); // empty: accepted

    QTest::newRow("none") << QStringList{} << "";
    QTest::newRow("everything")
        << QStringList{"--card",  "/dev/comedi0", "--interval", "10", "--format=json",
                       "--until", "D15=1",        "--count",    "3",  "--timeout",
                       "1.5"}
        << "";
    QTest::newRow("interval too short") << QStringList{"--interval", "9"} << "--interval";
    QTest::newRow("interval not a number") << QStringList{"--interval", "1e2"} << "--interval";
    QTest::newRow("no such line") << QStringList{"--until", "D16=1"} << "--until";
    QTest::newRow("no level") << QStringList{"--until", "D3"} << "--until";
    QTest::newRow("level 2") << QStringList{"--until", "D3=2"} << "--until";
    QTest::newRow("unknown format") << QStringList{"--format", "xml"} << "--format";
    QTest::newRow("negative count") << QStringList{"--count", "-1"} << "--count";
    QTest::newRow("negative timeout") << QStringList{"--timeout", "-1"} << "--timeout";
    QTest::newRow("missing value") << QStringList{"--card"} << "--card";
    QTest::newRow("unknown option") << QStringList{"--colour"} << "--colour";
    QTest::newRow("value on a switch") << QStringList{"--list=yes"} << "--list";
}

void tst_Watch::options()
{
    QFETCH(QStringList, args);
    QFETCH(QString, problem);

    std::vector<std::string> storage;
    for (const QString &arg : args)
        storage.push_back(arg.toStdString());
    const std::vector<std::string_view> views(storage.begin(), storage.end());
    try {
        const Options options = parseOptions(views);
        QVERIFY2(problem.isEmpty(), "accepted what it should refuse");
        if (!args.isEmpty()) {
            QCOMPARE(options.card, std::string("/dev/comedi0"));
            QCOMPARE(options.interval, 10ms);
            QCOMPARE(int(options.format), int(Format::Json));
            QCOMPARE(options.until, (std::vector<LineCondition>{{15, true}}));
            QCOMPARE(options.count, std::optional<std::uint64_t>(3));
            QCOMPARE(options.timeout, std::optional(1500ms));
        }
    } catch (const UsageError &error) {
        QVERIFY2(!problem.isEmpty(), error.what());
        QVERIFY2(QString(error.what()).contains(problem), error.what());
    }
}

QProcess *tst_Watch::start(const QStringList &args)
{
    auto *process = new QProcess(this);
    process->setProcessEnvironment(m_environment);
    process->start(binary("velmora-watch"), args);
    if (!process->waitForStarted())
        qFatal("cannot start velmora-watch");
    return process;
}

void tst_Watch::sim(const QStringList &args)
{
    QProcess process;
    process.setProcessEnvironment(m_environment);
    process.start(qEnvironmentVariable("VELMORA_SIM_BINARY"), args);
    QVERIFY(process.waitForFinished());
    QCOMPARE(process.exitCode(), 0);
}

void tst_Watch::programExitStatuses_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("meanwhile"); // velmora-sim once the watch has started
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("stderrStart");

    QTest::newRow("until a line goes high")
        << QStringList{"--until", "D9=1", "--interval", "10", "--timeout", "20"}
        << QStringList{"set", "0", "2"} << 0 << "";
    QTest::newRow("timeout") << QStringList{"--until", "D9=1", "--timeout", "0.1"} << QStringList{}
                             << 3 << "";
    QTest::newRow("card failure mid-run")
        << QStringList{"--interval", "10", "--timeout", "20"}
        << QStringList{"fault", "read1", "error"} << 1 << "Velmora: Run-time error '57': ";
    QTest::newRow("no such card") << QStringList{"--card", "/dev/comedi99"} << QStringList{} << 1
                                  << "velmora-watch: no card named '/dev/comedi99'";
    QTest::newRow("bad usage") << QStringList{"--until", "D99=1"} << QStringList{} << 2
                               << "velmora-watch: --until";
}

void tst_Watch::programExitStatuses()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, meanwhile);
    QFETCH(int, status);
    QFETCH(QString, stderrStart);

    sim({"reset"});
    QProcess *watch = start(args);
    if (!meanwhile.isEmpty()) {
        QVERIFY(watch->waitForReadyRead(5000)); // the start line: the card is being watched
        sim(meanwhile);
    }
    QVERIFY(watch->waitForFinished(20000));
    QCOMPARE(watch->exitStatus(), QProcess::NormalExit);
    const QString errors = QString::fromUtf8(watch->readAllStandardError());
    QVERIFY2(watch->exitCode() == status, qPrintable(errors));
    QVERIFY2(stderrStart.isEmpty() ? errors.isEmpty() : errors.startsWith(stderrStart),
             qPrintable(errors));
}

void tst_Watch::signalReleasesTheCardAndEndsWithZero()
{
    sim({"reset"});
    for (int signal : {SIGINT, SIGTERM}) {
        QProcess *watch = start({"--format", "json"});
        QVERIFY(watch->waitForReadyRead(5000));
        ::kill(pid_t(watch->processId()), signal);
        QVERIFY(watch->waitForFinished(5000));
        QCOMPARE(watch->exitStatus(), QProcess::NormalExit);
        QCOMPARE(watch->exitCode(), 0);
        const QJsonObject first = QJsonDocument::fromJson(watch->readLine()).object();
        QCOMPARE(first["event"].toString(), QString("start"));
    }
}

QTEST_GUILESS_MAIN(tst_Watch)
#include "tst_watch.moc"
