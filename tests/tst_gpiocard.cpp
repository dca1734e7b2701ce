#include "automation/automation_error.h"
#include "gpio/gpio_card.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fstream>
#include <map>
#include <numeric>

// Readable failures for the std::string fields the device layer uses.
template<> char *QTest::toString(const std::string &s)
{
    return qstrdup(s.c_str());
}

using namespace velmora;

namespace {

using Names = std::vector<std::string>; // one per line, empty where unnamed

// What the card did to the chips it opened.
struct ChipLog {
    struct Request {
        std::vector<unsigned> offsets;
        std::string consumer;
    };
    int opens = 0;
    int closes = 0;
    int releases = 0; // of a held request only
    int reads = 0;
    std::vector<Request> requests;
};

struct FakeChipSetup {
    std::string label = "fake-dio";
    Names lineNames;
    std::map<unsigned, std::string> consumers;
    std::uint64_t values = 0; // bit n: line n
    int requestError = 0;
    int readError = 0;
};

class FakeChip final : public GpioChip {
public:
    FakeChip(std::string name, const FakeChipSetup &setup, ChipLog &log)
        : m_name(std::move(name))
        , m_setup(setup)
        , m_log(log)
    {}
    ~FakeChip() override
    {
        release();
        ++m_log.closes;
    }

    std::string name() const override { return m_name; }
    std::string label() const override { return m_setup.label; }
    unsigned lineCount() const override { return unsigned(m_setup.lineNames.size()); }
    std::string lineName(unsigned offset) override
    {
        return offset < m_setup.lineNames.size() ? m_setup.lineNames[offset] : std::string();
    }
    std::string lineConsumer(unsigned offset) override
    {
        return m_setup.consumers.contains(offset) ? m_setup.consumers.at(offset) : std::string();
    }
    int requestInputs(std::span<const unsigned> offsets, const char *consumer) override
    {
        m_log.requests.push_back({{offsets.begin(), offsets.end()}, consumer});
        if (m_setup.requestError == 0)
            m_held.assign(offsets.begin(), offsets.end());
        return m_setup.requestError;
    }
    int readValues(std::span<int> values) override
    {
        ++m_log.reads;
        if (m_setup.readError != 0)
            return m_setup.readError;
        if (values.size() != m_held.size())
            return EINVAL;
        for (std::size_t i = 0; i < values.size(); ++i)
            values[i] = int(m_setup.values >> m_held[i] & 1);
        return 0;
    }
    void release() noexcept override
    {
        if (m_held.empty())
            return;
        m_held.clear();
        ++m_log.releases;
    }

private:
    std::string m_name;
    const FakeChipSetup &m_setup;
    ChipLog &m_log;
    std::vector<unsigned> m_held;
};

// Device nodes as plain files in a folder of their own; the fake decides what opening each
// one gives.
class Bench final : public GpioApi {
public:
    QTemporaryDir dir;
    std::map<std::string, FakeChipSetup> chips; // by node path
    std::map<std::string, int> failures;        // by node path
    ChipLog log;

    std::filesystem::path devDir() const { return dir.path().toStdString(); }
    std::string node(const std::string &fileName) const { return (devDir() / fileName).string(); }

    FakeChipSetup &addChip(const std::string &fileName, Names lineNames)
    {
        touch(fileName);
        FakeChipSetup &setup = chips[node(fileName)];
        setup.lineNames = std::move(lineNames);
        return setup;
    }
    void touch(const std::string &fileName) const { std::ofstream(devDir() / fileName).put('\0'); }

    std::unique_ptr<GpioChip> open(const std::string &path, int &error) override
    {
        ++log.opens;
        const auto chip = chips.find(path);
        error = failures.contains(path) ? failures[path] : chip == chips.end() ? ENOENT : 0;
        if (error != 0)
            return nullptr;
        return std::make_unique<FakeChip>(std::filesystem::path(path).filename().string(),
                                          chip->second, log);
    }

    std::vector<CardOffer> offers() { return findGpioCards(*this, devDir()); }

    // The card offered for `fileName`, opened.
    std::unique_ptr<Card> openedCard(const std::string &fileName)
    {
        for (CardOffer &offer : offers()) {
            if (offer.info.location == node(fileName) && offer.make) {
                std::unique_ptr<Card> card = offer.make();
                return card->open().failed ? nullptr : std::move(card);
            }
        }
        return nullptr;
    }
};

// A 48-line chip named like an isolated-input board, with its inputs in two swapped halves:
// IIN0..IIN7 on lines 40..47 and IIN8..IIN15 on lines 32..39.
Names iinLinesSwapped()
{
    Names names(48);
    for (unsigned i = 0; i < 32; ++i)
        names[i] = "IIN" + std::to_string(i + 16);
    for (unsigned i = 0; i < 8; ++i) {
        names[40 + i] = "IIN" + std::to_string(i);
        names[32 + i] = "IIN" + std::to_string(8 + i);
    }
    return names;
}

// Two 8255 groups of 24 lines each, as a 48-line DIO driver names them.
Names ppiLines()
{
    Names names;
    for (int group = 0; group < 2; ++group) {
        for (char port : {'A', 'B', 'C'}) {
            for (int bit = 0; bit < 8; ++bit)
                names.push_back("PPI Group " + std::to_string(group) + " Port " + port + ' ' +
                                std::to_string(bit));
        }
    }
    return names;
}

std::vector<unsigned> range(unsigned first, unsigned count)
{
    std::vector<unsigned> out(count);
    std::iota(out.begin(), out.end(), first);
    return out;
}

bool isBoolean(const DispatchOutcome &outcome, bool b)
{
    return !outcome.status.failed && outcome.result == AutomationValue::boolean(b);
}

// The text with each "-" as the en dash the card writes between line numbers.
QString dashed(const std::string &text)
{
    return QString::fromStdString(text).replace('-', QChar(0x2013));
}

} // namespace

class tst_GpioCard final : public QObject {
    Q_OBJECT

private slots:
    void discoveryListsEveryNodeInNumberOrder();
    void lineChoice_data();
    void lineChoice();
    void openFailures_data();
    void openFailures();
    void configureWords_data();
    void configureWords();
    void useFailures_data();
    void useFailures();
    void readMapsChosenLinesToPorts_data();
    void readMapsChosenLinesToPorts();
    void libgpiodRejectsNodesThatAreNotChips();
    void realChip();
};

void tst_GpioCard::discoveryListsEveryNodeInNumberOrder()
{
    Bench bench;
    bench.addChip("gpiochip10", Names(16)).label = "mockup B";
    bench.addChip("gpiochip3", Names(1)).label = ""; // the chip's own name alone
    bench.addChip("gpiochip2", Names(15)).label = "cp2112";
    bench.failures[bench.node("gpiochip1")] = EACCES;
    bench.addChip("gpiochip0", iinLinesSwapped()).label = "104-idi-48";
    for (const char *file : {"gpiochip1", "gpiochipX", "gpiochip", "other"})
        bench.touch(file);

    const auto entry = [](const char *node, const char *name, const std::string &kind,
                          const char *status) {
        return node + (" | " + QString(name)) + " | " + dashed(kind) + " | " + status;
    };
    const QStringList expected{
        entry("gpiochip0", "104-idi-48 (gpiochip0)", "GPIO chip, IIN0-IIN15 (lines 40-47, 32-39)",
              "Ready"),
        entry("gpiochip1", "gpiochip1", "GPIO chip", "Permission denied"),
        entry("gpiochip2", "cp2112 (gpiochip2)", "GPIO chip, 15 lines",
              "only 15 of the 16 input lines a card needs"),
        entry("gpiochip3", "gpiochip3", "GPIO chip, 1 line",
              "only 1 of the 16 input lines a card needs"),
        entry("gpiochip10", "mockup B (gpiochip10)", "GPIO chip, lines 0-15", "Ready")};
    const std::vector<CardOffer> offers = bench.offers();
    QStringList seen; // the node's folder left out
    for (const CardOffer &offer : offers) {
        seen << QString::fromStdString(offer.info.location + " | " + offer.info.name + " | " +
                                       offer.info.kind + " | " + offer.status)
                    .remove(QString::fromStdString(bench.devDir().string() + "/"));
        QCOMPARE(offer.usable, offer.status == "Ready");
        QCOMPARE(bool(offer.make), offer.usable);
        QCOMPARE(offer.fix.empty(), offer.status != "Permission denied");
    }
    QCOMPARE(seen, expected);
    for (const char *fix : {"/etc/udev/rules.d/", "GROUP=\"gpio\"", "usermod -aG gpio"})
        QVERIFY2(offers[1].fix.find(fix) != std::string::npos, fix);

    // Listing leaves no chip open, and a card is made unopened.
    QCOMPARE(bench.log.opens, 5);
    QCOMPARE(bench.log.closes, 4);
    std::unique_ptr<Card> card = offers[0].make();
    QCOMPARE(bench.log.opens, 5);
    QCOMPARE(card->info().name, offers[0].info.name);
    QCOMPARE(card->info().location, offers[0].info.location);
}

void tst_GpioCard::lineChoice_data()
{
    QTest::addColumn<Names>("lineNames");
    QTest::addColumn<QString>("kind"); // after "GPIO chip, "; "-" stands for the en dash

    Names iinFirstWins = iinLinesSwapped();
    iinFirstWins[0] = "IIN3"; // the same name again, before the real one
    Names missing15(20);
    for (unsigned i = 0; i < 15; ++i)
        missing15[i + 5] = "IIN" + std::to_string(i);
    Names firstIncomplete = ppiLines();
    firstIncomplete[11] = "PPI Group 0 Port B 3 (spare)";
    // Port B named on lower lines than port A: port 0 is still A.
    Names bBeforeA(32);
    for (int bit = 0; bit < 8; ++bit) {
        bBeforeA[bit] = "Port B " + std::to_string(bit);
        bBeforeA[24 + bit] = "Port A " + std::to_string(bit);
    }

    // Port C is the 8255's third port, no input port of this card: only unnamed lines remain.
    Names portsCAndB(16);
    for (int bit = 0; bit < 8; ++bit) {
        portsCAndB[bit] = "Port C " + std::to_string(bit);
        portsCAndB[8 + bit] = "Port B " + std::to_string(bit);
    }

    QTest::newRow("IIN lines out of order")
        << iinLinesSwapped() << "IIN0-IIN15 (lines 40-47, 32-39)";
    QTest::newRow("IIN repeated name: first line wins")
        << iinFirstWins << "IIN0-IIN15 (lines 40-42, 0, 44-47, 32-39)";
    QTest::newRow("IIN15 missing: lines 0-15") << missing15 << "lines 0-15";
    QTest::newRow("two 8255 groups: the first")
        << ppiLines() << "PPI Group 0 Port A/B (lines 0-15)";
    QTest::newRow("first 8255 group incomplete: the second")
        << firstIncomplete << "PPI Group 1 Port A/B (lines 24-39)";
    QTest::newRow("port B below port A, no prefix") << bBeforeA << "Port A/B (lines 24-31, 0-7)";
    QTest::newRow("ports C and B: no pair") << portsCAndB << "lines 0-15";
    QTest::newRow("unnamed 16 lines") << Names(16) << "lines 0-15";
}

void tst_GpioCard::lineChoice()
{
    QFETCH(Names, lineNames);
    QFETCH(QString, kind);

    Bench bench;
    bench.addChip("gpiochip0", lineNames);
    const std::vector<CardOffer> offers = bench.offers();
    QCOMPARE(offers.size(), std::size_t(1));
    QCOMPARE(offers[0].info.kind, "GPIO chip, " + dashed(kind.toStdString()).toStdString());

    // The lines shown are the lines taken, in the order shown: "lines 40-42, 0, ..."
    std::vector<unsigned> shown;
    for (const QString &run : kind.section("lines ", 1).remove(')').split(", ")) {
        for (unsigned line = run.section('-', 0, 0).toUInt(); line <= run.section('-', -1).toUInt();
             ++line)
            shown.push_back(line);
    }
    std::unique_ptr<Card> card = bench.openedCard("gpiochip0");
    QVERIFY(card);
    QVERIFY(isBoolean(card->configurePorts(0, 0x9B), true));
    QCOMPARE(bench.log.requests.size(), std::size_t(1));
    QCOMPARE(bench.log.requests[0].offsets, shown);
    QCOMPARE(shown.size(), GpioCardLineCount);
}

void tst_GpioCard::openFailures_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("lines"); // the chip's at the node by then; the card's highest is 47
    QTest::addColumn<int>("code");  // the run-time error, never the errno itself; 0: it opens
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("fix"); // how the fix begins; %1 is the node

    const auto row = [](const char *tag, int error, int lines, int code, const QString &text,
                        const QString &fix = {}) {
        QTest::newRow(tag) << error << lines << code << text << fix;
    };
    const QString udev = "create /etc/udev/rules.d/60-gpiochip.rules with: SUBSYSTEM==";
    const QString gone = "the chip has gone (its device was removed or its driver unloaded); "
                         "load the driver again, then try again";
    row("permission", EACCES, 48, 70, "Permission denied", udev);
    row("not permitted", EPERM, 48, 70, "Operation not permitted", udev);
    row("busy", EBUSY, 48, 70, "Device or resource busy",
        "another program has it open; 'sudo fuser -v %1' shows which");
    row("text file busy", ETXTBSY, 48, 70, "Text file busy");
    row("not a chip", ENOTTY, 48, 57, "Inappropriate ioctl for device",
        "this node is not a GPIO chip; nothing on it can be read as a card");
    row("gone", ENODEV, 48, 68, "No such device", gone);
    row("no such address", ENXIO, 48, 68, "No such device or address", gone);
    row("node removed", ENOENT, 48, 68, "No such file or directory", gone);
    row("other", EIO, 48, 57, "Input/output error");
    const QString chooseAgain = "choose the card again in \"Select Device\"";
    row("another chip, 40 lines", 0, 40, 68, "line 47 is gone (the chip now has 40 lines)",
        chooseAgain);
    row("another chip, one line short", 0, 47, 68, "line 47 is gone (the chip now has 47 lines)",
        chooseAgain);
    row("another chip, just enough lines", 0, 48, 0, {});
}

void tst_GpioCard::openFailures()
{
    QFETCH(int, error);
    QFETCH(int, lines);
    QFETCH(int, code);
    QFETCH(QString, text);
    QFETCH(QString, fix);

    // Listed while it opened; fails when chosen.
    Bench bench;
    FakeChipSetup &setup = bench.addChip("gpiochip0", iinLinesSwapped());
    std::vector<CardOffer> offers = bench.offers();
    std::unique_ptr<Card> card = offers[0].make();
    bench.failures[bench.node("gpiochip0")] = error; // 0: opens as listed
    setup.lineNames.resize(std::size_t(lines));

    const DispatchStatus status = card->open();
    QCOMPARE(status.code, code);
    QCOMPARE(status.failed, code != 0);
    if (!status.failed)
        return;
    // The card, its node, the system's words, then the fix: as every kind of card words it.
    const QString node = QString::fromStdString(bench.node("gpiochip0"));
    const QString described = QString::fromStdString(card->info().name) + " at " + node + ": " +
                              text + (fix.isEmpty() ? "" : ". To fix: " + fix.arg(node));
    const QString description = QString::fromStdString(status.description);
    QVERIFY2(fix.isEmpty() ? description == described : description.startsWith(described),
             qPrintable(description));
    if (error == 0) {
        QCOMPARE(bench.log.closes, bench.log.opens); // the chip that did not fit is not kept
        return;
    }
    // The same words in the list, reason and fix apart.
    offers = bench.offers();
    QCOMPARE(QString::fromStdString(offers[0].status), text);
    QVERIFY(QString::fromStdString(offers[0].fix).startsWith(fix.arg(node)));
    QCOMPARE(offers[0].fix.empty(), fix.isEmpty());
    QVERIFY(!offers[0].usable);
}

void tst_GpioCard::configureWords_data()
{
    QTest::addColumn<int>("chip");
    QTest::addColumn<int>("word");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<bool>("closeFirst"); // else the card is dropped open

    QTest::newRow("0x9B all inputs, closed") << 0 << 0x9B << true << true;
    QTest::newRow("0x9B all inputs, dropped") << 0 << 0x9B << true << false;
    QTest::newRow("0x7F9B high byte ignored") << 0 << 0x7F9B << true << false;
    QTest::newRow("0x80 all outputs, closed") << 0 << 0x80 << false << true;
    QTest::newRow("0x80 all outputs, dropped") << 0 << 0x80 << false << false;
    QTest::newRow("0x9A port C lower out") << 0 << 0x9A << false << false;
    QTest::newRow("0x92 port C out") << 0 << 0x92 << false << false;
    QTest::newRow("0xBB mode 1 group A") << 0 << 0xBB << false << false;
    QTest::newRow("0x9F mode 1 group B") << 0 << 0x9F << false << false;
    QTest::newRow("0x1B bit set/reset") << 0 << 0x1B << false << false;
    QTest::newRow("chip 1") << 1 << 0x9B << false << false;
    QTest::newRow("chip -1") << -1 << 0x9B << false << false;
}

// The lines are requested once, by an accepted word, and released once on every way out.
void tst_GpioCard::configureWords()
{
    QFETCH(int, chip);
    QFETCH(int, word);
    QFETCH(bool, accepted);
    QFETCH(bool, closeFirst);

    Bench bench;
    bench.addChip("gpiochip0", ppiLines());
    std::unique_ptr<Card> card = bench.openedCard("gpiochip0");
    QVERIFY(card);
    const ChipLog listed = bench.log;
    QVERIFY(!card->open().failed); // already open: the same chip

    for (int ask = 0; ask < 2; ++ask) // asked again, the lines are already ours
        QVERIFY(isBoolean(card->configurePorts(chip, std::int16_t(word)), accepted));
    QCOMPARE(bench.log.requests.size(), std::size_t(accepted ? 1 : 0));
    if (accepted) {
        QCOMPARE(bench.log.requests[0].consumer, "velmora");
        QCOMPARE(bench.log.requests[0].offsets, range(0, 16));
    }
    std::int16_t value = 99;
    QVERIFY(isBoolean(card->readPort(0, value), accepted)); // nothing to read unless taken
    QCOMPARE(value, std::int16_t(accepted ? 0 : 99));

    if (closeFirst) {
        card->close();
        card->close();
        QCOMPARE(bench.log.releases, accepted ? 1 : 0);
        QCOMPARE(bench.log.closes, listed.closes + 1);
        const int reads = bench.log.reads;
        QVERIFY(isBoolean(card->readPort(0, value), false)); // closed, it has nothing to read
        QCOMPARE(bench.log.reads, reads);
        const DispatchOutcome closed = card->configurePorts(0, 0x9B);
        QCOMPARE(closed.status.code, 57);
        QCOMPARE(closed.status.description,
                 card->info().name + " at " + bench.node("gpiochip0") + ": the card is not open");
    }
    card.reset();
    QCOMPARE(bench.log.releases, accepted ? 1 : 0);
    QCOMPARE(bench.log.closes, listed.closes + 1);
    QCOMPARE(bench.log.opens, listed.opens);
}

void tst_GpioCard::useFailures_data()
{
    QTest::addColumn<bool>("read"); // else the request ConfigurePorts makes
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("held"); // line 37 (IIN13) names its holder
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("after"); // "<card> at <node>: "; %1 is the node

    const auto row = [](const char *tag, bool read, int error, bool held, int code,
                        const QString &after) {
        QTest::newRow(tag) << read << error << held << code << after;
    };
    // A line held by another program is refused access: 70, with the holder and the fix.
    const QString busyFix =
        ". To fix: close the program holding the line ('gpioinfo %1' shows it), then try again";
    row("busy, holder known", false, EBUSY, true, 70,
        "line 37 (IIN13) is busy: held by \"gpio-keys\"" + busyFix);
    row("busy, holder gone", false, EBUSY, false, 70,
        dashed("lines 40-47, 32-39: Device or resource busy") + busyFix);
    row("invalid", false, EINVAL, false, 57,
        dashed("cannot take lines 40-47, 32-39 as inputs: Invalid argument"));
    row("chip gone while reading", true, ENODEV, false, 68,
        "No such device (the GPIO chip has gone away). To fix: load its driver again, then "
        "choose it again in \"Select Device\"");
    row("I/O error while reading", true, EIO, false, 57, "Input/output error");
}

void tst_GpioCard::useFailures()
{
    QFETCH(bool, read);
    QFETCH(int, error);
    QFETCH(bool, held);
    QFETCH(int, code);
    QFETCH(QString, after);

    Bench bench;
    FakeChipSetup &setup = bench.addChip("gpiochip0", iinLinesSwapped());
    std::unique_ptr<Card> card = bench.openedCard("gpiochip0");
    QVERIFY(card);
    std::int16_t value = 0;
    if (read) // fails mid-run, after a good read
        QVERIFY(isBoolean(card->configurePorts(0, 0x9B), true) &&
                isBoolean(card->readPort(1, value), true));
    (read ? setup.readError : setup.requestError) = error;
    setup.consumers[3] = "not one of ours"; // outside the chosen lines
    if (held)
        setup.consumers[37] = "gpio-keys";

    value = 99;
    const DispatchOutcome outcome = read ? card->readPort(1, value) : card->configurePorts(0, 0x9B);
    QCOMPARE(outcome.status.code, code);
    const QString node = QString::fromStdString(bench.node("gpiochip0"));
    QCOMPARE(QString::fromStdString(outcome.status.description),
             QString::fromStdString(card->info().name) + " at " + node + ": " + after.arg(node));
    QCOMPARE(value, std::int16_t(99));
    if (!read) {
        QVERIFY(isBoolean(card->readPort(0, value), false)); // nothing taken, nothing to read
        QCOMPARE(value, std::int16_t(99));
        QCOMPARE(bench.log.reads, 0);
    }
}

void tst_GpioCard::readMapsChosenLinesToPorts_data()
{
    QTest::addColumn<QString>("inputs"); // IIN0..IIN15
    QTest::addColumn<int>("port0");
    QTest::addColumn<int>("port1");

    QTest::newRow("all low") << "0000000000000000" << 0 << 0;
    QTest::newRow("all high") << "1111111111111111" << 0xFF << 0xFF;
    QTest::newRow("IIN0 and IIN15") << "1000000000000001" << 0x01 << 0x80;
    QTest::newRow("patterns") << "1010010100111100" << 0xA5 << 0x3C;
}

void tst_GpioCard::readMapsChosenLinesToPorts()
{
    QFETCH(QString, inputs);
    QFETCH(int, port0);
    QFETCH(int, port1);

    Bench bench;
    FakeChipSetup &setup = bench.addChip("gpiochip0", iinLinesSwapped());
    setup.values = 0xFFFFFFFF; // IIN16.. are not the card's lines
    for (unsigned i = 0; i < 8; ++i) {
        setup.values |= std::uint64_t(inputs[i] == '1') << (40 + i);
        setup.values |= std::uint64_t(inputs[8 + i] == '1') << (32 + i);
    }
    std::unique_ptr<Card> card = bench.openedCard("gpiochip0");
    QVERIFY(card);

    std::int16_t value = 99;
    QVERIFY(isBoolean(card->readPort(0, value), false)); // before ConfigurePorts
    QVERIFY(isBoolean(card->configurePorts(0, 0x9B), true));
    for (std::int32_t port : {2, -1, 65536})
        QVERIFY(isBoolean(card->readPort(port, value), false));
    QCOMPARE(value, std::int16_t(99));
    QVERIFY(isBoolean(card->readPort(0, value), true));
    QCOMPARE(int(value), port0);
    QVERIFY(isBoolean(card->readPort(1, value), true));
    QCOMPARE(int(value), port1);
}

void tst_GpioCard::libgpiodRejectsNodesThatAreNotChips()
{
    // The real library, against a plain file and a missing node.
    QTemporaryDir dir;
    const std::filesystem::path devDir = dir.path().toStdString();
    std::ofstream(devDir / "gpiochip0").put('\0');

    int error = 0;
    QVERIFY(!systemGpioApi().open((devDir / "gpiochip9").string(), error));
    QCOMPARE(error, ENOENT);

    const std::vector<CardOffer> offers = findGpioCards(systemGpioApi(), devDir);
    QCOMPARE(offers.size(), std::size_t(1));
    QVERIFY(!offers[0].usable);
    QCOMPARE(offers[0].status, "Inappropriate ioctl for device");
    QVERIFY(offers[0].fix.find("not a GPIO chip") != std::string::npos);
}

void tst_GpioCard::realChip()
{
    const QByteArray path = qgetenv("VELMORA_TEST_GPIOCHIP");
    if (path.isEmpty())
        QSKIP("set VELMORA_TEST_GPIOCHIP to a chip node (e.g. /dev/gpiochip0) with 16 free lines "
              "to test against real hardware");

    const std::filesystem::path node = path.toStdString();
    const std::vector<CardOffer> offers = findGpioCards(systemGpioApi(), node.parent_path());
    const auto offer = std::ranges::find_if(
        offers, [&](const CardOffer &o) { return o.info.location == node.string(); });
    QVERIFY2(offer != offers.end(), "the chip is not listed");
    QVERIFY2(offer->usable, (offer->status + "; " + offer->fix).c_str());
    qInfo("%s: %s", offer->info.name.c_str(), offer->info.kind.c_str());

    std::unique_ptr<Card> card = offer->make();
    const DispatchStatus opened = card->open();
    QVERIFY2(!opened.failed, opened.description.c_str());
    const DispatchOutcome configured = card->configurePorts(0, 0x9B);
    QVERIFY2(isBoolean(configured, true), configured.status.description.c_str());
    for (std::int32_t port : {0, 1}) {
        std::int16_t value = -1;
        const DispatchOutcome read = card->readPort(port, value);
        QVERIFY2(isBoolean(read, true), read.status.description.c_str());
        QVERIFY(value >= 0 && value <= 0xFF);
        qInfo("port %d: 0x%02x", int(port), unsigned(value));
    }
    card->close();
}

QTEST_GUILESS_MAIN(tst_GpioCard)
#include "tst_gpiocard.moc"
