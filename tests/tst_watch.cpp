#include "automation/automation_error.h"
#include "automation/device_control.h"
#include "card_pick.h"
#include "fakes.h"
#include "line_watch.h"
#include "watch_options.h"

#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <ctime>

using namespace velmora;
using namespace velmora::watch;
using namespace std::chrono_literals;
using velmora::testing::RecordingControl;

namespace {

using Samples = QList<QPair<int, int>>; // what ports 0 and 1 deliver, sample by sample
constexpr int ReadFails = 0x10000;      // as port 1's value: the read fails with 57

// A clock that moves only when the watch pauses, and a pause that can be told
// to report a signal at its n-th wait.
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

struct Run {
    int status = -1;
    QStringList lines;
    std::uint64_t changes = 0;
    int samples = 0;
    std::chrono::milliseconds elapsed{}; // on the watch's clock when it ended
    QString error;                       // the top-level report of an error that ended the run
};

// Watches `samples` at the interval; with no other end given, times out just
// after the last.
Run watchSamples(const Samples &samples, Options options = {}, int signalAtWait = 0)
{
    FakeTime time;
    time.signalAtWait = signalAtWait;
    RecordingControl control;
    control.script.push_back({}); // ConfigurePorts
    const auto read = DispatchOutcome::boolean(true);
    const auto failed = DispatchOutcome::failure(57, "Simulated card: read failed");
    for (const auto &[port0, port1] : samples) {
        control.script.push_back({read, std::int16_t(port0)});
        control.script.push_back({port1 == ReadFails ? failed : read, std::int16_t(port1)});
    }
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
    try {
        run.status = watch.run();
    } catch (const AutomationError &error) {
        run.error = QString::fromStdString(runtimeErrorLine(error));
    }
    run.changes = watch.changes();
    run.samples = int(control.calls.size() - 1) / 2;
    run.elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(time.steady.time_since_epoch());
    return run;
}

// Words as on the command line, split at spaces.
Options parse(const QString &args)
{
    std::vector<std::string> storage;
    for (const QString &arg : args.split(' ', Qt::SkipEmptyParts))
        storage.push_back(arg.toStdString());
    const std::vector<std::string_view> views(storage.begin(), storage.end());
    return parseOptions(views);
}

} // namespace

class tst_Watch final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Times are local, with the offset: one of half an hour shows its minutes.
        qputenv("TZ", "XST-5:30");
        tzset();
    }

    void logsTheStartAndEachChange_data()
    {
        QTest::addColumn<Samples>("samples");
        QTest::addColumn<QStringList>("expected"); // CSV lines less time and elapsed

        QTest::newRow("nothing changes: the start line alone")
            << Samples{{0xA5, 0x3C}, {0xA5, 0x3C}, {0xA5, 0x3C}}
            << QStringList{"start,0xA5,0x3C,,"};
        QTest::newRow("one change")
            << Samples{{0xA5, 0x3C}, {0xA5, 0x3C}, {0xA4, 0x3D}, {0xA4, 0x3D}}
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

    void logsTheStartAndEachChange()
    {
        QFETCH(Samples, samples);
        QFETCH(QStringList, expected);

        const Run run = watchSamples(samples, parse("--format csv"));
        QCOMPARE(run.status, exit_status::TimedOut);
        QCOMPARE(run.samples, samples.size());
        QStringList events;
        for (const QString &line : run.lines.mid(1)) // after the header
            events << line.section(',', 2);
        QCOMPARE(events, expected);
        QCOMPARE(run.changes, std::uint64_t(expected.size() - 1));
    }

    void formats_data()
    {
        QTest::addColumn<QStringList>("expected"); // as --format, the row's name

        // A start and two changes, 250 ms apart.
        const QString at = "2026-11-30T06:23:20.%1+05:30";
        QTest::newRow("text") << QStringList{
            at.arg(123) + "  +0.000s  port0 0x01  port1 0x00  start",
            at.arg(373) + "  +0.250s  port0 0x02  port1 0x80  rose D1 D15  fell D0",
            at.arg(623) + "  +0.500s  port0 0x03  port1 0x00  rose D0  fell D15"};
        QTest::newRow("csv") << QStringList{"time,elapsed_s,event,port0,port1,rose,fell",
                                            at.arg(123) + ",0.000,start,0x01,0x00,,",
                                            at.arg(373) + ",0.250,change,0x02,0x80,D1 D15,D0",
                                            at.arg(623) + ",0.500,change,0x03,0x00,D0,D15"};
        const QString json = R"({"time":"%1","elapsed":%2,"event":"%3","port0":"%4","port1":"%5",)"
                             R"("rose":[%6],"fell":[%7]})";
        QTest::newRow("json") << QStringList{
            json.arg(at.arg(123), "0.000", "start", "0x01", "0x00", "", ""),
            json.arg(at.arg(373), "0.250", "change", "0x02", "0x80", R"("D1","D15")", R"("D0")"),
            json.arg(at.arg(623), "0.500", "change", "0x03", "0x00", R"("D0")", R"("D15")")};
    }

    void formats()
    {
        QFETCH(QStringList, expected);
        const QString format = QTest::currentDataTag();

        const Run run =
            watchSamples({{0x01, 0x00}, {0x01, 0x00}, {0x02, 0x80}, {0x02, 0x80}, {0x03, 0x00}},
                         parse("--interval 125 --format " + format));
        QCOMPARE(run.lines, expected);
        for (const QString &line : run.lines)
            QVERIFY2(format != "json" || QJsonDocument::fromJson(line.toUtf8()).isObject(),
                     qPrintable(line));
    }

    void endsAsAsked_data()
    {
        QTest::addColumn<QString>("args"); // "signal": one arrives at the second wait
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("sampled");
        QTest::addColumn<int>("elapsedMs"); // on the watch's clock when it ended

        // Samples at 0, 100, ... 500 ms: D0 rises at 200, D9 at 300; D0 falls at 400,
        // D9 at 500.
        QTest::newRow("until a line rises") << "--until D9=1" << 0 << 4 << 300;
        QTest::newRow("until two hold at once") << "--until D9=1 --until=d0=0" << 0 << 5 << 400;
        QTest::newRow("until it holds at start") << "--until D5=0" << 0 << 1 << 0;
        QTest::newRow("count changes") << "--count 2" << 0 << 4 << 300;
        QTest::newRow("count 0: the state at start") << "--count 0" << 0 << 1 << 0;
        QTest::newRow("timeout before the condition")
            << "--until D9=1 --timeout 0.25" << 3 << 3 << 250;
        QTest::newRow("timeout on a sample's time")
            << "--until D9=1 --timeout 0.2" << 3 << 2 << 200;
        QTest::newRow("timeout 0") << "--timeout 0" << 3 << 1 << 0;
        QTest::newRow("a signal") << "--until D9=1 signal" << 0 << 2 << 100;
    }

    void endsAsAsked()
    {
        QFETCH(QString, args);
        QFETCH(int, status);
        QFETCH(int, sampled);
        QFETCH(int, elapsedMs);

        const Samples rising{{0, 0}, {0, 0}, {0x01, 0}, {0x01, 0x02}, {0, 0x02}, {0, 0}};
        const Run run = watchSamples(rising, parse(QString(args).remove("signal")),
                                     args.contains("signal") ? 2 : 0);
        QCOMPARE(run.status, status);
        QCOMPARE(run.samples, sampled);
        QCOMPARE(run.elapsed, std::chrono::milliseconds(elapsedMs));
    }

    void cardFailureMidRunStopsTheWatch()
    {
        const Run run = watchSamples({{0x10, 0}, {0x11, 0}, {0x12, ReadFails}, {0x13, 0}});
        QCOMPARE(run.error, "Velmora: Run-time error '57': Simulated card: read failed");
        QCOMPARE(run.lines.size(), 2); // the start and the change before the failure
        QCOMPARE(run.samples, 3);
    }

    void cardListMarksTheRememberedCard_data()
    {
        QTest::addColumn<QStringList>("remembered"); // name and place; empty: nothing remembered
        QTest::addColumn<QString>("marked");         // the card listed as last used; empty: none

        QTest::newRow("nothing remembered") << QStringList{} << "";
        QTest::newRow("the board") << QStringList{"board", "/dev/comedi0"} << "board";
        QTest::newRow("the chip") << QStringList{"chip", "/dev/gpiochip0"} << "chip";
        QTest::newRow("a card no longer offered") << QStringList{"gone", "/dev/comedi1"} << "";
        QTest::newRow("the board's name elsewhere") << QStringList{"board", "/dev/comedi1"} << "";
    }

    void cardListMarksTheRememberedCard()
    {
        QFETCH(QStringList, remembered);
        QFETCH(QString, marked);

        const std::vector<CardOffer> offers{
            {{"board", "comedi DIO", "/dev/comedi0"}, true, "", "", {}},
            {{"chip", "GPIO chip", "/dev/gpiochip0"}, true, "", "", {}},
            {{"shut", "comedi DIO", "/dev/comedi2"}, false, "Permission denied", "join 'io'", {}}};
        const CardInfo info{remembered.value(0).toStdString(), "",
                            remembered.value(1).toStdString()};
        const QString text =
            QString::fromStdString(listCards(offers, remembered.isEmpty() ? nullptr : &info));
        QCOMPARE(text.count('\n'), 6);
        QVERIFY2(text.startsWith("NAME") && text.contains("/dev/gpiochip0  Ready\n") &&
                     text.endsWith("\n    cannot be opened: Permission denied\n"
                                   "    to fix: join 'io'\n"),
                 qPrintable(text));
        QCOMPARE(text.count(" (last used)"), marked.isEmpty() ? 0 : 1);
        QVERIFY2(text.contains(marked + " (last used)") != marked.isEmpty(), qPrintable(text));
    }

    void options_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<QString>("problem"); // empty: accepted

        const auto row = [](const char *name, const char *args, const char *problem) {
            QTest::newRow(name) << QString(args) << QString(problem);
        };
        row("none", "", "");
        row("everything",
            "--card /dev/comedi0 --interval 10 --format=json --until D15=1 --count 3 --timeout 1.5",
            "");
        row("the longest interval and timeout", "--interval=3600000 --timeout=86400", "");
        row("levels in words, line D0", "--until 9=high --until d0=low", "");
        row("help", "--help", "");
        row("short help", "-h", "");
        row("version", "--version", "");
        row("value on help", "--help=all", "--help");
        row("interval too short", "--interval 9", "--interval");
        row("interval too long", "--interval 3600001", "--interval");
        row("interval not a number", "--interval 1e2", "--interval");
        row("no such line", "--until D16=1", "--until");
        row("negative line", "--until D-1=1", "--until");
        row("no line", "--until =1", "--until");
        row("no level", "--until D3", "--until");
        row("level 2", "--until D3=2", "--until");
        row("unknown format", "--format xml", "--format");
        row("negative count", "--count -1", "--count");
        row("negative timeout", "--timeout -1", "--timeout");
        row("timeout over a day", "--timeout 86400.5", "--timeout");
        row("timeout not finite", "--timeout inf", "--timeout");
        row("missing value", "--card", "--card");
        row("unknown option", "--colour", "--colour");
        row("value on a switch", "--list=yes", "--list");
    }

    void options()
    {
        QFETCH(QString, args);
        QFETCH(QString, problem);

        try {
            const Options options = parse(args);
            QVERIFY2(problem.isEmpty(), "accepted what it should refuse");
            if (QTest::currentDataTag() == QString("everything")) {
                QCOMPARE(options.card, std::string("/dev/comedi0"));
                QCOMPARE(options.interval, 10ms);
                QCOMPARE(int(options.format), int(Format::Json));
                QCOMPARE(options.until, (std::vector<LineCondition>{{15, true}}));
                QCOMPARE(options.count, std::optional<std::uint64_t>(3));
                QCOMPARE(options.timeout, std::optional(1500ms));
            } else if (args.startsWith("-h") || args.startsWith("--help") ||
                       args.startsWith("--version")) {
                QCOMPARE(int(options.action), int(args == "--version" ? Options::Action::Version
                                                                      : Options::Action::Help));
            } else if (args.contains("9=high")) {
                QCOMPARE(options.until, (std::vector<LineCondition>{{9, true}, {0, false}}));
            }
        } catch (const UsageError &error) {
            QVERIFY2(QString(error.what()).contains(problem) && !problem.isEmpty(), error.what());
        }
    }

    void programExitStatuses_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<QString>("meanwhile"); // once the watch has started: velmora-sim or a
                                                // signal; or where the log goes
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("stderrStart");

        const auto row = [](const char *name, const char *args, const char *meanwhile, int status,
                            const char *stderrStart) {
            QTest::newRow(name) << QString(args) << QString(meanwhile) << status
                                << QString(stderrStart);
        };
        row("until a line goes high", "--until D9=1 --interval 10 --timeout 20", "set 0 2", 0, "");
        row("timeout", "--until D9=1 --timeout 0.1", "", 3, "");
        row("card failure mid-run", "--interval 10 --timeout 20", "fault read1 error", 1,
            "Velmora: Run-time error '57': ");
        row("no such card", "--card /dev/comedi99", "", 1,
            "velmora-watch: no card named '/dev/comedi99'");
        row("bad usage", "--until D99=1", "", 2, "velmora-watch: --until");
        // A signal releases the card and ends the watch as asked.
        row("SIGINT", "--format json", "SIGINT", 0, "");
        row("SIGTERM", "--format json", "SIGTERM", 0, "");
        // Where the log goes: a full disk is an error; a reader that has gone ends the watch
        // quietly, long before its timeout.
        row("log to a full disk", "--interval 10 --timeout 20", ">/dev/full", 1,
            "velmora-watch: cannot write the log: No space left on device");
        row("log reader gone", "--interval 10 --timeout 5", "| head -c 1", 0, "");
    }

    void programExitStatuses()
    {
        QFETCH(QString, args);
        QFETCH(QString, meanwhile);
        QFETCH(int, status);
        QFETCH(QString, stderrStart);

        // The simulated card on a private state file, and no card remembered.
        QTemporaryDir runtime, config;
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        const QString simBinary = qEnvironmentVariable("VELMORA_SIM_BINARY");
        const auto sim = [&simBinary](const QString &words) {
            QProcess process;
            process.start(simBinary, words.split(' ', Qt::SkipEmptyParts));
            return process.waitForFinished(10000) && process.exitCode() == 0;
        };
        QVERIFY(sim("reset"));
        const QString program = QFileInfo(simBinary).dir().filePath("velmora-watch");
        const bool logRedirected = meanwhile.startsWith('>') || meanwhile.startsWith('|');
        QProcess watch;
        if (logRedirected) { // lines that keep changing, so the watch keeps writing
            QVERIFY(sim("pattern count"));
            watch.start("bash",
                        {"-c", "set -o pipefail; \"$0\" " + args + ' ' + meanwhile, program});
        } else {
            watch.start(program, args.split(' ', Qt::SkipEmptyParts));
        }
        QVERIFY(watch.waitForStarted());
        if (meanwhile.startsWith("SIG") || meanwhile.startsWith("fault") ||
            meanwhile.startsWith("set")) {
            QVERIFY(watch.waitForReadyRead(5000)); // the start line: the card is being watched
            QVERIFY(QString(watch.readLine()).contains("start"));
            if (meanwhile.startsWith("SIG"))
                ::kill(pid_t(watch.processId()), meanwhile == "SIGINT" ? SIGINT : SIGTERM);
            else
                QVERIFY(sim(meanwhile));
        }
        QVERIFY(watch.waitForFinished(20000));
        QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
        const QString errors = QString::fromUtf8(watch.readAllStandardError());
        QVERIFY2(watch.exitCode() == status, qPrintable(errors));
        QVERIFY2(stderrStart.isEmpty() ? errors.isEmpty() : errors.startsWith(stderrStart),
                 qPrintable(errors));
    }
};

QTEST_GUILESS_MAIN(tst_Watch)
#include "tst_watch.moc"
