#include "automation/automation_error.h"
#include "simulated/simulated_card.h"
#include "system_card_catalog.h"

#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace velmora;
using Values = std::array<int, 3>;
Q_DECLARE_METATYPE(Values)

namespace {

// What a read delivers where it reports False, an error or no Boolean.
constexpr int NoValue = -100000;
// The bench's inputs as the 16-bit variable holds them: the whole register travels, bit 15 too.
constexpr int A = 0x12A5, B = std::int16_t(0x803C), C = std::int16_t(0xF0C3);

// A simulated card over a state file of its own, with the pattern off and known inputs.
struct Bench {
    QTemporaryDir dir;
    SimStateFile file{std::filesystem::path(dir.path().toStdString()) / "velmora" / "simcard"};
    SimulatedCard card{file};

    explicit Bench(std::array<std::uint16_t, 3> inputs = {0x12A5, 0x803C, 0xF0C3})
    {
        file.update([&](SimState &state) {
            state.pattern = SimPattern::Off;
            state.ports = inputs;
        });
    }

    int read(int port)
    {
        std::int16_t v = 0;
        return card.readPort(port, v).result == AutomationValue::boolean(true) ? v : NoValue;
    }
    Values readAll() { return {read(0), read(1), read(2)}; }
    bool configure(int word) { return isTrue(card.configurePorts(0, std::int16_t(word))); }
    std::string trace() const { return dir.filePath("ticks.log").toStdString(); }
    void traceTo(const std::string &path)
    {
        file.update([&](SimState &state) { state.trace = path; });
    }

    static bool isTrue(const DispatchOutcome &outcome)
    {
        return !outcome.status.failed && outcome.result == AutomationValue::boolean(true);
    }
};

} // namespace

class tst_SimulatedCard final : public QObject {
    Q_OBJECT

private slots:

    void controlWordSetsDirections_data()
    {
        QTest::addColumn<int>("word");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<Values>("read");

        // Outputs read back their latch, which a mode set clears; -1: no control word at all.
        QTest::newRow("power-up: all inputs") << -1 << true << Values{A, B, C};
        QTest::newRow("0x9B all inputs") << 0x9B << true << Values{A, B, C};
        QTest::newRow("0x80 all outputs") << 0x80 << true << Values{0, 0, 0};
        QTest::newRow("0x90 A in") << 0x90 << true << Values{A, 0, 0};
        QTest::newRow("0x82 B in") << 0x82 << true << Values{0, B, 0};
        QTest::newRow("0x88 C upper in") << 0x88 << true << Values{0, 0, 0x00C0};
        QTest::newRow("0x81 C lower in") << 0x81 << true << Values{0, 0, 0x0003};
        QTest::newRow("0xFF high byte ignored") << 0x7F9B << true << Values{A, B, C};
        QTest::newRow("0xBB mode 1 group A") << 0xBB << false << Values{A, B, C};
        QTest::newRow("0xDB mode 2 group A") << 0xDB << false << Values{A, B, C};
        QTest::newRow("0x9F mode 1 group B") << 0x9F << false << Values{A, B, C};
    }

    void controlWordSetsDirections()
    {
        QFETCH(int, word);
        QFETCH(bool, accepted);
        QFETCH(Values, read);
        Bench bench;
        if (word >= 0)
            QCOMPARE(bench.configure(word), accepted);
        QCOMPARE(bench.readAll(), read);
    }

    void portCBitSetReset()
    {
        // Each control word, then port C as read: a bit set/reset word is (bit << 1) | value, a
        // mode set clears every latch, and with C upper an input only C lower shows the latch.
        const std::pair<int, int> steps[] = {
            {0x80, 0}, {(3 << 1) | 1, 0x08}, {(7 << 1) | 1, 0x88}, {3 << 1, 0x80},
            {0x80, 0}, {0x88, C & 0xF0},     {(1 << 1) | 1, 0xC2}};
        Bench bench;
        for (const auto &[word, portC] : steps) {
            QVERIFY(bench.configure(word));
            QCOMPARE(bench.read(2), portC);
        }
    }

    void otherChipsAndPortsReportFalseAndChangeNothing()
    {
        Bench bench;
        for (std::int32_t chip : {1, -1, 255})
            QVERIFY(!Bench::isTrue(bench.card.configurePorts(chip, 0x80)));
        QCOMPARE(bench.read(0), A); // still inputs
        for (std::int32_t port : {3, -1, 65536}) {
            std::int16_t value = 1234;
            const DispatchOutcome outcome = bench.card.readPort(port, value);
            QVERIFY(!outcome.status.failed);
            QCOMPARE(outcome.result, AutomationValue::boolean(false));
            QCOMPARE(value, std::int16_t(1234));
        }
    }

    void faults_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<int>("mode");
        for (auto op : {SimOperation::Read0, SimOperation::Read1, SimOperation::Configure,
                        SimOperation::Select}) {
            for (auto mode : {SimFaultMode::False, SimFaultMode::Error, SimFaultMode::NoBool})
                QTest::addRow("%s %s", toString(op).data(), toString(mode).data())
                    << int(op) << int(mode);
        }
    }

    void faults()
    {
        QFETCH(int, operation);
        QFETCH(int, mode);
        const auto op = SimOperation(operation);
        const auto fault = SimFaultMode(mode);
        const int port = op == SimOperation::Read1 ? 1 : 0;

        Bench bench;
        bench.file.update([&](SimState &state) { state.faults[std::size_t(op)] = fault; });
        std::int16_t value = 77;
        const DispatchOutcome outcome =
            op == SimOperation::Configure ? bench.card.configurePorts(0, 0x80)
            : op == SimOperation::Select  ? *bench.card.answerSelect()
                                          : bench.card.readPort(port, value);
        QCOMPARE(value, std::int16_t(77)); // no fault writes the variable
        QCOMPARE(outcome.status.failed, fault == SimFaultMode::Error);
        if (fault == SimFaultMode::False)
            QCOMPARE(outcome.result, AutomationValue::boolean(false));
        if (fault == SimFaultMode::Error) {
            QCOMPARE(outcome.status.code, error_code::DeviceIoError);
            const std::pair<const char *, const char *> named[] = {{"ReadPort on port 0", "read0"},
                                                                   {"ReadPort on port 1", "read1"},
                                                                   {"ConfigurePorts", "configure"},
                                                                   {"SelectDevice", "select"}};
            const auto [what, name] = named[operation];
            QCOMPARE(QString::fromStdString(outcome.status.description),
                     QStringLiteral("Simulated card: simulated failure of %1 (set by 'velmora-sim "
                                    "fault %2 error')")
                         .arg(what, name));
        }
        if (fault == SimFaultMode::NoBool)
            QVERIFY_THROWS_EXCEPTION(AutomationError, toBoolean(outcome.result));
        // Only the faulty operation is touched: a failed configure leaves every port an input.
        Values read{A, B, C};
        if (op == SimOperation::Read0 || op == SimOperation::Read1)
            read[port] = NoValue;
        QCOMPARE(bench.readAll(), read);
        if (op != SimOperation::Select)
            QVERIFY(!bench.card.answerSelect());
    }

    void corruptStateFileIsAnErrorNamingThePath()
    {
        // The catalog offers the card at the default path: the bench's.
        Bench bench;
        const std::string path = bench.file.path().string();
        qputenv("XDG_RUNTIME_DIR", bench.dir.path().toLocal8Bit());
        const CardOffer fresh = SystemCardCatalog().offers().front();
        QVERIFY(fresh.usable && fresh.status == "Ready" && fresh.fix.empty());
        // The row the list shows, offered and made alike.
        for (const CardInfo &info : {fresh.info, fresh.make()->info()})
            QCOMPARE(QString::fromStdString(info.name + '|' + info.kind + '|' + info.location),
                     QString("Simulated card|simulated 8255|built in"));

        std::ofstream(path, std::ios::trunc) << "velmora-simcard 1\nport0 banana\n";
        std::int16_t value = 5;
        const DispatchOutcome outcome = bench.card.readPort(0, value);
        QVERIFY(outcome.status.failed &&
                outcome.status.description.find(path) != std::string::npos);
        QCOMPARE(value, std::int16_t(5));
        // Listed as unusable, for the same reason, with the way to mend it.
        const CardOffer corrupt = SystemCardCatalog().offers().front();
        qunsetenv("XDG_RUNTIME_DIR");
        QVERIFY(!corrupt.usable && corrupt.status.find(path) != std::string::npos);
        QVERIFY(corrupt.fix.find("velmora-sim reset") != std::string::npos);
    }

    void patternIsComputedFromTheClock()
    {
        using namespace std::chrono;
        Bench bench;
        bench.file.update([](SimState &state) { state.pattern = SimPattern::Count; });
        system_clock::time_point now{seconds(0x1234) + milliseconds(500)};
        SimulatedCard card(bench.file, [&] { return now; });
        std::int16_t low = 0, high = 0;
        QVERIFY(Bench::isTrue(card.readPort(0, low)));
        QVERIFY(Bench::isTrue(card.readPort(0, low))); // reading again does not advance it
        QVERIFY(Bench::isTrue(card.readPort(1, high)));
        QCOMPARE(low, std::int16_t(0x34));
        QCOMPARE(high, std::int16_t(0x12));
        now += seconds(1);
        QVERIFY(Bench::isTrue(card.readPort(0, low)));
        QCOMPARE(low, std::int16_t(0x35));
    }

    void everyChangeToTheStateFileIsSeenAtTheNextRead()
    {
        // The card reads the file again only when it changed; no change may be missed.
        Bench bench({1, 2, 3});
        for (std::uint16_t v = 10; v < 60; ++v) {
            bench.file.update([&](SimState &state) { state.ports[0] = v; });
            QCOMPARE(bench.read(0), int(v));
        }
        // Rewritten in place, same size: still seen.
        std::string text = bench.file.load().format();
        text.replace(text.find("0x003b"), 6, "0x0077");
        std::ofstream(bench.file.path(), std::ios::trunc) << text;
        QCOMPARE(bench.read(0), 0x77);
        // Made unsafe after a good read: refused at once.
        std::filesystem::permissions(bench.file.path(), std::filesystem::perms::others_write,
                                     std::filesystem::perm_options::add);
        std::int16_t value = 0;
        QVERIFY(bench.card.readPort(0, value).status.failed);
    }

    void traceAppendsALinePerRead()
    {
        Bench bench({0x00A5, 0xFF3C, 0});
        bench.traceTo(bench.trace());
        for (int i = 0; i < 3; ++i)
            QVERIFY(bench.read(0) == 0x00A5 && bench.read(1) == std::int16_t(0xFF3C));
        QCOMPARE(bench.read(7), NoValue); // delivers nothing, traces nothing

        std::ifstream in(bench.trace());
        long long previous = 0, ns = 0;
        int port = 0, delivered = 0, lines = 0;
        while (in >> ns >> port >> delivered) {
            QVERIFY(ns >= previous);
            previous = ns;
            QCOMPARE(port, lines % 2);
            QCOMPARE(delivered, port == 0 ? 0x00A5 : int(std::int16_t(0xFF3C)));
            ++lines;
        }
        QCOMPARE(lines, 6);
        in.close();

        // Whether the card still holds the trace open.
        const auto held = [&] {
            for (const auto &fd : std::filesystem::directory_iterator("/proc/self/fd")) {
                std::error_code ignored;
                if (std::filesystem::read_symlink(fd.path(), ignored) == bench.trace())
                    return true;
            }
            return false;
        };
        QVERIFY(held());
        const auto size = std::filesystem::file_size(bench.trace());
        bench.traceTo({}); // off: the file stays as it was, and is let go
        QCOMPARE(bench.read(0), 0x00A5);
        QCOMPARE(std::filesystem::file_size(bench.trace()), size);
        QVERIFY(!held());
    }

    void traceThatCannotBeWrittenIsAnIoError_data()
    {
        QTest::addColumn<int>("room"); // bytes the trace file may still grow by
        QTest::addColumn<QString>("reason");
        QTest::newRow("no room") << 0 << QString(std::strerror(EFBIG));
        QTest::newRow("room for part of a line") << 3 << "the disk took only part of a line";
    }

    // The file size limit stands in for a full disk: the write fails, or takes part of the line.
    void traceThatCannotBeWrittenIsAnIoError()
    {
        QFETCH(int, room);
        QFETCH(QString, reason);
        Bench bench;
        bench.traceTo(bench.trace());
        QCOMPARE(bench.read(0), A); // the first line goes in
        rlimit before{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &before), 0);
        rlimit limited = before;
        limited.rlim_cur = std::filesystem::file_size(bench.trace()) + room;
        const auto handler = std::signal(SIGXFSZ, SIG_IGN);
        const auto restore = qScopeGuard([&] {
            ::setrlimit(RLIMIT_FSIZE, &before);
            std::signal(SIGXFSZ, handler);
        });
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);

        std::int16_t value = 0;
        const DispatchOutcome outcome = bench.card.readPort(0, value);
        QCOMPARE(outcome.status.code, error_code::DeviceIoError);
        QCOMPARE(QString::fromStdString(outcome.status.description),
                 "Simulated card: cannot write the trace file " +
                     QString::fromStdString(bench.trace()) + ": " + reason);
    }

    void traceRefusesWhatIsNotAPrivateRegularFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        // Planted where the trace goes, by another user or by mistake, between velmora-sim's check
        // and the program's first read.
        QTest::newRow("named pipe with a reader") << "fifo"
                                                  << "it is a named pipe";
        QTest::newRow("writable by others") << "mode"
                                            << "others may write it (mode 0622)";
        QTest::newRow("symbolic link") << "link"
                                       << "it is a symbolic link";
    }

    void traceRefusesWhatIsNotAPrivateRegularFile()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        Bench bench;
        const std::string trace = bench.trace();
        const std::string elsewhere = bench.dir.filePath("elsewhere.log").toStdString();
        int reader = -1;
        if (kind == "fifo") {
            QCOMPARE(::mkfifo(trace.c_str(), 0600), 0);
            // Someone listens, so that a card that opened it would not even block: it must refuse.
            reader = ::open(trace.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            QVERIFY(reader >= 0);
        } else if (kind == "mode") {
            std::ofstream(trace).close();
            QCOMPARE(::chmod(trace.c_str(), 0622), 0);
        } else {
            std::ofstream(elsewhere).close();
            QCOMPARE(::symlink(elsewhere.c_str(), trace.c_str()), 0);
        }
        bench.traceTo(trace);

        std::int16_t value = 0;
        const DispatchOutcome outcome = bench.card.readPort(0, value);
        QVERIFY(outcome.status.failed);
        const QString text = QString::fromStdString(outcome.status.description);
        QVERIFY2(text.startsWith("Simulated card: cannot open the trace file " +
                                 QString::fromStdString(trace) + ": " + reason) &&
                     text.contains("velmora-sim trace off"),
                 qPrintable(text));
        if (reader >= 0) {
            char byte = 0;
            QVERIFY(::read(reader, &byte, 1) <= 0); // nothing came through
            ::close(reader);
        } else {
            QCOMPARE(std::filesystem::file_size(kind == "link" ? elsewhere : trace),
                     std::uintmax_t(0));
        }
    }
};

QTEST_GUILESS_MAIN(tst_SimulatedCard)
#include "tst_simulatedcard.moc"
