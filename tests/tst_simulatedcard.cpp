#include "automation/automation_error.h"
#include "simulated/simulated_card.h"
#include "system_card_catalog.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace velmora;

namespace {

// A simulated card over a state file of its own, with the pattern off and known inputs.
struct Bench {
    QTemporaryDir dir;
    SimStateFile file{std::filesystem::path(dir.path().toStdString()) / "velmora" / "simcard"};
    SimulatedCard card{file};

    explicit Bench(std::array<std::uint16_t, 3> inputs = {0x12A5, 0x803C, 0xF0C3})
    {
        SimState state = file.load();
        state.pattern = SimPattern::Off;
        state.ports = inputs;
        file.store(state);
    }

    void setFault(SimOperation op, SimFaultMode mode)
    {
        SimState state = file.load();
        state.faults[static_cast<std::size_t>(op)] = mode;
        file.store(state);
    }

    // Port values as read now, or -100000 where the read reports False.
    std::array<int, 3> readAll()
    {
        std::array<int, 3> values{};
        for (int port = 0; port < 3; ++port) {
            std::int16_t v = 0;
            const DispatchOutcome outcome = card.readPort(port, v);
            values[port] = outcome.result == AutomationValue::boolean(true) ? v : -100000;
        }
        return values;
    }
};

bool isTrue(const DispatchOutcome &outcome)
{
    return !outcome.status.failed && outcome.result == AutomationValue::boolean(true);
}

} // namespace

class tst_SimulatedCard final : public QObject {
    Q_OBJECT

private slots:
    void controlWordSetsDirections_data();
    void controlWordSetsDirections();
    void portCBitSetReset();
    void otherChipsAndPortsReportFalseAndChangeNothing();
    void faults_data();
    void faults();
    void corruptStateFileIsAnErrorNamingThePath();
    void patternIsComputedFromTheClock();
    void everyChangeToTheStateFileIsSeenAtTheNextRead();
    void traceAppendsALinePerRead();
    void traceRefusesWhatIsNotAPrivateRegularFile_data();
    void traceRefusesWhatIsNotAPrivateRegularFile();
};

void tst_SimulatedCard::controlWordSetsDirections_data()
{
    QTest::addColumn<int>("word");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("port0");
    QTest::addColumn<int>("port1");
    QTest::addColumn<int>("port2");

    // As the 16-bit variable holds them: the whole register travels, high byte and bit 15.
    const int a = 0x12A5, b = std::int16_t(0x803C), c = std::int16_t(0xF0C3);
    // Outputs read back their latch, which a mode set clears; -1: no control word at all.
    QTest::newRow("power-up: all inputs") << -1 << true << a << b << c;
    QTest::newRow("0x9B all inputs") << 0x9B << true << a << b << c;
    QTest::newRow("0x80 all outputs") << 0x80 << true << 0 << 0 << 0;
    QTest::newRow("0x90 A in") << 0x90 << true << a << 0 << 0;
    QTest::newRow("0x82 B in") << 0x82 << true << 0 << b << 0;
    QTest::newRow("0x88 C upper in") << 0x88 << true << 0 << 0 << 0x00C0;
    QTest::newRow("0x81 C lower in") << 0x81 << true << 0 << 0 << 0x0003;
    QTest::newRow("0xFF high byte ignored") << 0x7F9B << true << a << b << c;
    QTest::newRow("0xBB mode 1 group A") << 0xBB << false << a << b << c;
    QTest::newRow("0xDB mode 2 group A") << 0xDB << false << a << b << c;
    QTest::newRow("0x9F mode 1 group B") << 0x9F << false << a << b << c;
}

void tst_SimulatedCard::controlWordSetsDirections()
{
    QFETCH(int, word);
    QFETCH(bool, accepted);
    QFETCH(int, port0);
    QFETCH(int, port1);
    QFETCH(int, port2);

    Bench bench;
    if (word >= 0)
        QCOMPARE(isTrue(bench.card.configurePorts(0, std::int16_t(word))), accepted);
    QCOMPARE(bench.readAll(), (std::array<int, 3>{port0, port1, port2}));
}

void tst_SimulatedCard::portCBitSetReset()
{
    Bench bench;
    QVERIFY(isTrue(bench.card.configurePorts(0, 0x80)));         // every port an output
    QVERIFY(isTrue(bench.card.configurePorts(0, (3 << 1) | 1))); // set PC3
    QVERIFY(isTrue(bench.card.configurePorts(0, (7 << 1) | 1))); // set PC7
    QCOMPARE(bench.readAll()[2], 0x88);
    QVERIFY(isTrue(bench.card.configurePorts(0, 3 << 1))); // reset PC3
    QCOMPARE(bench.readAll()[2], 0x80);
    QVERIFY(isTrue(bench.card.configurePorts(0, 0x80))); // a mode set clears every latch
    QCOMPARE(bench.readAll()[2], 0);

    // With C upper an input, its lines come from outside; C lower still shows the latch.
    QVERIFY(isTrue(bench.card.configurePorts(0, 0x88)));
    QVERIFY(isTrue(bench.card.configurePorts(0, (1 << 1) | 1))); // set PC1
    QCOMPARE(bench.readAll()[2], 0x00C2);
}

void tst_SimulatedCard::otherChipsAndPortsReportFalseAndChangeNothing()
{
    Bench bench;
    for (std::int32_t chip : {1, -1, 255})
        QVERIFY(!isTrue(bench.card.configurePorts(chip, 0x80)));
    QCOMPARE(bench.readAll()[0], 0x12A5); // still inputs

    for (std::int32_t port : {3, -1, 65536}) {
        std::int16_t value = 1234;
        const DispatchOutcome outcome = bench.card.readPort(port, value);
        QVERIFY(!outcome.status.failed);
        QCOMPARE(outcome.result, AutomationValue::boolean(false));
        QCOMPARE(value, std::int16_t(1234));
    }
}

void tst_SimulatedCard::faults_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<int>("mode");

    for (auto op : {SimOperation::Read0, SimOperation::Read1, SimOperation::Configure,
                    SimOperation::Select}) {
        for (auto mode : {SimFaultMode::False, SimFaultMode::Error, SimFaultMode::NoBool}) {
            QTest::addRow("%s %s", toString(op).data(), toString(mode).data())
                << int(op) << int(mode);
        }
    }
}

void tst_SimulatedCard::faults()
{
    QFETCH(int, operation);
    QFETCH(int, mode);
    const auto op = SimOperation(operation);

    Bench bench;
    bench.setFault(op, SimFaultMode(mode));
    std::int16_t value = 77;
    const DispatchOutcome outcome =
        op == SimOperation::Configure ? bench.card.configurePorts(0, 0x80)
        : op == SimOperation::Select
            ? *bench.card.answerSelect()
            : bench.card.readPort(op == SimOperation::Read0 ? 0 : 1, value);
    QCOMPARE(value, std::int16_t(77)); // no fault writes the variable
    QCOMPARE(outcome.status.failed, SimFaultMode(mode) == SimFaultMode::Error);
    if (SimFaultMode(mode) == SimFaultMode::False)
        QCOMPARE(outcome.result, AutomationValue::boolean(false));
    if (SimFaultMode(mode) == SimFaultMode::Error) {
        QCOMPARE(outcome.status.code, error_code::DeviceIoError);
        QVERIFY(outcome.status.description.find("simulated") != std::string::npos);
    }
    if (SimFaultMode(mode) == SimFaultMode::NoBool)
        QVERIFY_THROWS_EXCEPTION(AutomationError, toBoolean(outcome.result));
    // The other ports and operations are unaffected.
    if (op != SimOperation::Configure)
        QCOMPARE(bench.readAll()[2], int(std::int16_t(0xF0C3)));
    if (op != SimOperation::Select)
        QVERIFY(!bench.card.answerSelect());
}

void tst_SimulatedCard::corruptStateFileIsAnErrorNamingThePath()
{
    // The catalog offers the card at the default path: the bench's.
    Bench bench;
    qputenv("XDG_RUNTIME_DIR", bench.dir.path().toLocal8Bit());
    const CardOffer fresh = SystemCardCatalog().offers().front();
    QVERIFY(fresh.usable && fresh.status == "Ready" && fresh.fix.empty());
    QCOMPARE(fresh.make()->info().name, bench.card.info().name);

    std::ofstream(bench.file.path(), std::ios::trunc) << "velmora-simcard 1\nport0 banana\n";
    std::int16_t value = 5;
    const DispatchOutcome outcome = bench.card.readPort(0, value);
    QVERIFY(outcome.status.failed);
    QVERIFY(outcome.status.description.find(bench.file.path().string()) != std::string::npos);
    QCOMPARE(value, std::int16_t(5));
    // Listed as unusable, for the same reason, with the way to mend it.
    const CardOffer corrupt = SystemCardCatalog().offers().front();
    qunsetenv("XDG_RUNTIME_DIR");
    QVERIFY(!corrupt.usable);
    QVERIFY(corrupt.status.find(bench.file.path().string()) != std::string::npos);
    QVERIFY(corrupt.fix.find("velmora-sim reset") != std::string::npos);
}

void tst_SimulatedCard::patternIsComputedFromTheClock()
{
    Bench bench;
    SimState state = bench.file.load();
    state.pattern = SimPattern::Count;
    bench.file.store(state);

    using namespace std::chrono;
    system_clock::time_point now{seconds(0x1234) + milliseconds(500)};
    SimulatedCard card(bench.file, [&] { return now; });
    std::int16_t low = 0, high = 0;
    QVERIFY(isTrue(card.readPort(0, low)));
    QVERIFY(isTrue(card.readPort(0, low))); // reading again does not advance it
    QVERIFY(isTrue(card.readPort(1, high)));
    QCOMPARE(low, std::int16_t(0x34));
    QCOMPARE(high, std::int16_t(0x12));
    now += seconds(1);
    QVERIFY(isTrue(card.readPort(0, low)));
    QCOMPARE(low, std::int16_t(0x35));
}

void tst_SimulatedCard::everyChangeToTheStateFileIsSeenAtTheNextRead()
{
    // The card reads the file again only when it changed; no change may be missed.
    Bench bench({1, 2, 3});
    for (std::uint16_t v = 10; v < 60; ++v) {
        SimState state = bench.file.load();
        state.ports[0] = v;
        bench.file.store(state);
        QCOMPARE(bench.readAll()[0], int(v));
    }
    // Rewritten in place, same size: still seen.
    std::string text = bench.file.load().format();
    text.replace(text.find("0x003b"), 6, "0x0077");
    std::ofstream(bench.file.path(), std::ios::trunc) << text;
    QCOMPARE(bench.readAll()[0], 0x77);
    // Made unsafe after a good read: refused at once.
    std::filesystem::permissions(bench.file.path(), std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::add);
    std::int16_t value = 0;
    QVERIFY(bench.card.readPort(0, value).status.failed);
}

void tst_SimulatedCard::traceAppendsALinePerRead()
{
    Bench bench({0x00A5, 0xFF3C, 0});
    const std::string tracePath = bench.dir.filePath("ticks.log").toStdString();
    SimState state = bench.file.load();
    state.trace = tracePath;
    bench.file.store(state);

    std::int16_t value = 0;
    for (int i = 0; i < 3; ++i) {
        QVERIFY(isTrue(bench.card.readPort(0, value)));
        QVERIFY(isTrue(bench.card.readPort(1, value)));
    }
    QVERIFY(!isTrue(bench.card.readPort(7, value))); // delivers nothing, traces nothing

    std::ifstream in(tracePath);
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

    const auto size = std::filesystem::file_size(tracePath);
    state.trace.clear(); // off: the file stays as it was
    bench.file.store(state);
    QVERIFY(isTrue(bench.card.readPort(0, value)));
    QCOMPARE(std::filesystem::file_size(tracePath), size);
}

void tst_SimulatedCard::traceRefusesWhatIsNotAPrivateRegularFile_data()
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

void tst_SimulatedCard::traceRefusesWhatIsNotAPrivateRegularFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    Bench bench;
    const std::string trace = bench.dir.filePath("ticks.log").toStdString();
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
    SimState state = bench.file.load();
    state.trace = trace;
    bench.file.store(state);

    std::int16_t value = 0;
    const DispatchOutcome outcome = bench.card.readPort(0, value);
    QVERIFY(outcome.status.failed);
    const QString text = QString::fromStdString(outcome.status.description);
    QVERIFY2(text.startsWith("Simulated card: cannot open the trace file " +
                             QString::fromStdString(trace) + ": " + reason),
             qPrintable(text));
    QVERIFY2(text.contains("velmora-sim trace off"), qPrintable(text));
    if (reader >= 0) {
        char byte = 0;
        QVERIFY(::read(reader, &byte, 1) <= 0); // nothing came through
        ::close(reader);
    } else {
        QCOMPARE(std::filesystem::file_size(kind == "link" ? elsewhere : trace), std::uintmax_t(0));
    }
}

QTEST_GUILESS_MAIN(tst_SimulatedCard)
#include "tst_simulatedcard.moc"
