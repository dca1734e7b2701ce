#include "automation/automation_error.h"
#include "comedi/comedi_card.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>

using namespace velmora;

namespace {

using Type = ComediSubdeviceType;

// A subdevice another file holds with comedi_lock: the kernel still opens the node and lists the
// subdevice as locked, and refuses its instructions with EACCES.
struct FakeSubdevice {
    Type type;
    unsigned channels;
    bool lockedElsewhere = false;
};

// What one device node holds, as the fake comedilib sees it; tests may change it between calls.
struct FakeBoard {
    int openError = 0;
    std::string board = "TestBoard";
    std::string driver = "testdrv";
    std::vector<FakeSubdevice> subdevices{};
    std::uint64_t lines = 0; // channel i is bit i
    int configError = 0;
    int readError = 0;
};

struct FakeLog {
    std::vector<std::string> opened; // every open attempt, in order
    int closes = 0;
    QString configs; // per dioConfig call: 'i' input, 'o' output, '?' a wrong subdevice or channel
    std::vector<unsigned> readSubdevices;
};

class FakeDevice final : public ComediDevice {
public:
    FakeDevice(const FakeBoard &board, FakeLog &log)
        : m_board(board)
        , m_log(log)
    {}
    ~FakeDevice() override { ++m_log.closes; }

    unsigned subdeviceCount() const override { return unsigned(m_board.subdevices.size()); }
    Type subdeviceType(unsigned s) const override { return m_board.subdevices.at(s).type; }
    unsigned channelCount(unsigned s) const override { return m_board.subdevices.at(s).channels; }
    std::string boardName() const override { return m_board.board; }
    std::string driverName() const override { return m_board.driver; }
    bool heldElsewhere(unsigned s) const override { return sub(s).lockedElsewhere; }

    // Cards under test sit on subdevice 2 and configure channels 0, 1, 2, ... in order.
    int dioConfig(unsigned subdevice, unsigned channel, bool output) override
    {
        const bool expected = subdevice == 2 && channel == unsigned(m_log.configs.size());
        m_log.configs += !expected ? '?' : output ? 'o' : 'i';
        return sub(subdevice).lockedElsewhere ? EACCES : m_board.configError;
    }
    int dioBitfield(unsigned subdevice, unsigned baseChannel, std::uint32_t &bits) override
    {
        m_log.readSubdevices.push_back(subdevice);
        const FakeSubdevice &read = sub(subdevice);
        if (read.lockedElsewhere)
            return EACCES;
        if (m_board.readError != 0)
            return m_board.readError;
        // As comedilib: 32 lines from the base channel, none past the subdevice's last one,
        // and no lines at all from a subdevice that is not digital.
        if (read.type != Type::DigitalIO && read.type != Type::DigitalInput)
            return EINVAL;
        const std::uint64_t present = read.channels >= 64 ? ~0ull : (1ull << read.channels) - 1;
        bits = std::uint32_t((m_board.lines & present) >> baseChannel);
        return 0;
    }

private:
    const FakeSubdevice &sub(unsigned s) const { return m_board.subdevices.at(s); }

    const FakeBoard &m_board;
    FakeLog &m_log;
};

class FakeApi final : public ComediApi {
public:
    std::map<std::string, FakeBoard> boards; // by node path; absent: ENOENT
    FakeLog log;

    std::unique_ptr<ComediDevice> open(const std::string &path, int &error) override
    {
        log.opened.push_back(path);
        const auto it = boards.find(path);
        error = it == boards.end() ? ENOENT : it->second.openError;
        return error != 0 ? nullptr : std::make_unique<FakeDevice>(it->second, log);
    }
    std::string errorText(int error) override { return std::strerror(error); }
};

// Device nodes as plain files in a directory of their own, and the fake behind them.
struct Bench {
    QTemporaryDir dir;
    std::filesystem::path devDir{dir.path().toStdString()};
    FakeApi api;

    std::string node(int minor) const
    {
        return (devDir / ("comedi" + std::to_string(minor))).string();
    }
    FakeBoard &addNode(int minor, FakeBoard board = {})
    {
        std::ofstream(node(minor)).put('\n');
        return api.boards[node(minor)] = std::move(board);
    }
    // A card on subdevice 2 of comedi0 (a number other than 0 catches a subdevice lost on the
    // way), opened unless the board says otherwise.
    std::unique_ptr<ComediCard> card(Type type, unsigned channels, std::uint64_t lines = 0,
                                     bool open = true)
    {
        FakeBoard &board = addNode(0);
        board.subdevices = {{Type::Other, 16}, {Type::Unused, 0}, {type, channels}};
        board.lines = lines;
        auto card = std::make_unique<ComediCard>(api, node(0), 2, type,
                                                 CardInfo{"card", "comedi", node(0)});
        if (open && card->open().failed)
            qWarning("open failed");
        return card;
    }
    // "<card> at <node>: " and the rest.
    QString described(const QString &rest) const
    {
        return QString::fromStdString("card at " + node(0) + ": ") + rest;
    }
};

bool isBoolean(const DispatchOutcome &outcome, bool b)
{
    return !outcome.status.failed && outcome.result == AutomationValue::boolean(b);
}

const QString GroupFix = "add your user to the group 'iocard' and log in again";
const QString Busy = "Busy, in use by another program";
const QString BusyFix = ". To fix: close the program using it";
const QString Gone =
    ". To fix: the board has gone; attach it again (comedi_config), then try again";
const QString Detached = ". To fix: the board was detached; configure it again (comedi_config) "
                         "and select the device again";
const QString Reconfigured = "subdevice 2 is no longer a DIO subdevice with 16 or more channels. "
                             "To fix: choose the card again in \"Select Device\"";

} // namespace

class tst_ComediCard final : public QObject {
    Q_OBJECT

private slots:
    void discovery();
    void controlWords_data();
    void controlWords();
    void readPortMapping_data();
    void readPortMapping();
    void failures_data();
    void failures();
    void closeReleasesTheDeviceOnce();
    void systemApiReportsANodeThatIsNotComedi();
    void realBoard();
};

void tst_ComediCard::discovery()
{
    // comedi1 missing; the others each fail their own way or offer their own subdevices.
    Bench bench;
    bench.addNode(0, {.subdevices = {{Type::DigitalIO, 24},
                                     {Type::Unused, 0},
                                     {Type::DigitalInput, 16},
                                     {Type::DigitalIO, 8},
                                     {Type::Other, 16}}});
    bench.api.boards[bench.node(1)] = {.subdevices = {{Type::DigitalIO, 24}}}; // no node file
    bench.addNode(2, {.openError = EACCES});
    bench.addNode(3, {.openError = ENODEV});
    bench.addNode(5, {.openError = ENOTTY});
    bench.addNode(6, {.subdevices = {{Type::DigitalIO, 24, true}}});
    bench.addNode(
        7, {.subdevices = {{Type::DigitalIO, 8}, {Type::DigitalInput, 15}, {Type::Other, 32}}});
    bench.addNode(8, {.openError = EIO});
    bench.addNode(
        47, {.board = "Other", .driver = "otherdrv", .subdevices = {{Type::DigitalInput, 32}}});
    bench.addNode(48, {.subdevices = {{Type::DigitalIO, 24}}}); // past the last minor
    const std::vector<CardOffer> offers = findComediCards(bench.api, bench.devDir);
    QStringList seen; // node | name | kind | status | fix, the node's folder left out
    for (const CardOffer &offer : offers) {
        seen << QString::fromStdString(offer.info.location + " | " + offer.info.name + " | " +
                                       offer.info.kind + " | " + offer.status + " | " + offer.fix)
                    .remove(QString::fromStdString(bench.devDir.string() + "/"));
        QCOMPARE(offer.usable, offer.status == "Ready");
        QCOMPARE(bool(offer.make), offer.usable);
    }
    const QStringList expected{
        "comedi0 | TestBoard (testdrv) comedi0, subdevice 0 | comedi DIO | Ready | ",
        "comedi0 | TestBoard (testdrv) comedi0, subdevice 2 | comedi DI | Ready | ",
        "comedi2 | comedi2 | comedi | Permission denied | " + GroupFix,
        "comedi3 | comedi3 | comedi | No such device | configure the board first (comedi_config)",
        "comedi5 | comedi5 | comedi | Not a comedi device (Inappropriate ioctl for device) | ",
        "comedi6 | TestBoard (testdrv) comedi6, subdevice 0 | comedi DIO | " + Busy +
            " | close the program using it",
        "comedi7 | TestBoard (testdrv) comedi7 | comedi | No digital-input subdevice with 16 or "
        "more channels | ",
        "comedi8 | comedi8 | comedi | Input/output error | ",
        "comedi47 | Other (otherdrv) comedi47, subdevice 0 | comedi DI | Ready | "};
    QCOMPARE(seen, expected);

    // Each node opened once, in order, and closed again; no card opened yet.
    std::vector<std::string> opened;
    for (int minor : {0, 2, 3, 5, 6, 7, 8, 47})
        opened.push_back(bench.node(minor));
    QCOMPARE(bench.api.log.opened, opened);
    QCOMPARE(bench.api.log.closes, 4); // the four that opened

    std::unique_ptr<Card> card = offers[1].make();
    QCOMPARE(card->info().name, offers[1].info.name);
    QCOMPARE(bench.api.log.opened.size(), opened.size());
    QVERIFY(!card->open().failed);
    QCOMPARE(bench.api.log.opened.back(), bench.node(0));
    std::int16_t value = 0;
    QVERIFY(isBoolean(card->readPort(1, value), true));
    QCOMPARE(bench.api.log.readSubdevices, std::vector<unsigned>{2}); // the DI one, not the first

    Bench empty;
    QVERIFY(findComediCards(empty.api, empty.devDir).empty());
    QVERIFY(empty.api.log.opened.empty());
}

void tst_ComediCard::controlWords_data()
{
    QTest::addColumn<bool>("dio"); // else a DI subdevice, which is only ever inputs
    QTest::addColumn<unsigned>("channels");
    QTest::addColumn<int>("chip");
    QTest::addColumn<int>("word");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("directions"); // channels 0, 1, 2, ...: i input, o output

    const auto row = [](const char *tag, bool dio, unsigned channels, int chip, int word,
                        bool accepted, const char *directions = "") {
        QTest::newRow(tag) << dio << channels << chip << word << accepted << QString(directions);
    };
    row("0x9B all inputs", true, 24, 0, 0x9B, true, "iiiiiiii iiiiiiii iiii iiii");
    row("0x80 all outputs", true, 24, 0, 0x80, true, "oooooooo oooooooo oooo oooo");
    row("0x90 A in", true, 24, 0, 0x90, true, "iiiiiiii oooooooo oooo oooo");
    row("0x82 B in", true, 24, 0, 0x82, true, "oooooooo iiiiiiii oooo oooo");
    row("0x89 C in", true, 24, 0, 0x89, true, "oooooooo oooooooo iiii iiii");
    row("0x81 C lower in", true, 24, 0, 0x81, true, "oooooooo oooooooo iiii oooo");
    row("0x88 C upper in", true, 24, 0, 0x88, true, "oooooooo oooooooo oooo iiii");
    row("high byte ignored", true, 24, 0, 0x7F9B, true, "iiiiiiii iiiiiiii iiii iiii");
    row("16 channels: no port C", true, 16, 0, 0x80, true, "oooooooo oooooooo");
    row("20 channels: C lower only", true, 20, 0, 0x88, true, "oooooooo oooooooo oooo");
    row("48 channels: chip 0 is 24", true, 48, 0, 0x9B, true, "iiiiiiii iiiiiiii iiii iiii");
    row("0xBB mode 1 group A", true, 24, 0, 0xBB, false);
    row("0xDB mode 2 group A", true, 24, 0, 0xDB, false);
    row("0x9F mode 1 group B", true, 24, 0, 0x9F, false);
    row("set PC3", true, 24, 0, (3 << 1) | 1, false);
    row("reset PC3", true, 24, 0, 3 << 1, false);
    row("chip 1", true, 24, 1, 0x9B, false);
    row("chip -1", true, 24, -1, 0x80, false);
    row("DI all inputs", false, 16, 0, 0x9B, true);
    row("DI outputs only on ports it lacks", false, 16, 0, 0x92, true);
    row("DI A out", false, 16, 0, 0x82, false);
    row("DI B out", false, 16, 0, 0x90, false);
    row("DI C out on 24 channels", false, 24, 0, 0x92, false);
    row("DI C lower out on 20 channels", false, 20, 0, 0x9A, false);
    row("DI C upper out on 20 channels: it has none", false, 20, 0, 0x93, true);
    row("DI all inputs on 24 channels", false, 24, 0, 0x9B, true);
    row("DI mode 1", false, 16, 0, 0xBF, false);
    row("DI bit set", false, 16, 0, 0x01, false);
    row("DI chip 1", false, 16, 1, 0x9B, false);
}

void tst_ComediCard::controlWords()
{
    QFETCH(bool, dio);
    QFETCH(unsigned, channels);
    QFETCH(int, chip);
    QFETCH(int, word);
    QFETCH(bool, accepted);
    QFETCH(QString, directions);

    Bench bench;
    auto card = bench.card(dio ? Type::DigitalIO : Type::DigitalInput, channels);
    QVERIFY(isBoolean(card->configurePorts(chip, std::int16_t(word)), accepted));
    QCOMPARE(bench.api.log.configs, directions.remove(' '));
}

void tst_ComediCard::readPortMapping_data()
{
    QTest::addColumn<unsigned>("channels");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("value"); // -1: reports False

    // The lines hold a distinct byte per port, so a wrong shift or a missing mask shows.
    const auto row = [](const char *tag, unsigned channels, int port, int value) {
        QTest::newRow(tag) << channels << port << value;
    };
    row("24 ch port 0", 24, 0, 0xA5);
    row("24 ch port 1", 24, 1, 0xC3);
    row("24 ch port 2", 24, 2, 0xF0);
    row("24 ch port 3", 24, 3, -1);
    row("negative port", 24, -1, -1);
    row("huge port", 24, 0x20000000, -1);
    row("16 ch port 1", 16, 1, 0xC3);
    row("16 ch port 2", 16, 2, -1);
    row("23 ch port 2: a line short", 23, 2, -1);
    row("48 ch port 3", 48, 3, 0x81);
    row("48 ch port 4", 48, 4, 0x7E);
    row("48 ch port 5", 48, 5, 0x3C);
    row("64 ch port 7", 64, 7, 0xFF);
}

void tst_ComediCard::readPortMapping()
{
    QFETCH(unsigned, channels);
    QFETCH(int, port);
    QFETCH(int, value);

    Bench bench;
    auto card = bench.card(Type::DigitalIO, channels, 0xFFFF3C7E81F0C3A5);
    std::int16_t read = 1234;
    QVERIFY(isBoolean(card->readPort(port, read), value >= 0));
    QCOMPARE(int(read), value >= 0 ? value : 1234);
}

void tst_ComediCard::failures_data()
{
    QTest::addColumn<QString>("step");        // open, configure or read
    QTest::addColumn<int>("error");           // the open's, or the instruction's
    QTest::addColumn<int>("channels");        // subdevice 2's by then; 0: now a DI one; -1: gone
    QTest::addColumn<bool>("locked");         // another program holds subdevice 2
    QTest::addColumn<int>("code");            // the run-time error: never the errno itself
    QTest::addColumn<QString>("description"); // after "<card> at <node>: "

    const auto row = [](const char *tag, const char *step, int error, int channels, bool locked,
                        int code, const QString &description) {
        QTest::newRow(tag) << QString(step) << error << channels << locked << code << description;
    };
    // The same wording as every kind of card: reason, then ". To fix: " and the fix.
    row("open: permission", "open", EACCES, 24, false, 70,
        "Permission denied. To fix: " + GroupFix);
    row("open: not permitted", "open", EPERM, 24, false, 70,
        "Operation not permitted. To fix: " + GroupFix);
    row("open: locked by another program", "open", 0, 24, true, 70, Busy + BusyFix);
    row("open: driver busy", "open", EBUSY, 24, false, 70,
        Busy + " (Device or resource busy)" + BusyFix);
    row("open: text file busy", "open", ETXTBSY, 24, false, 70, "Text file busy");
    row("open: unconfigured", "open", ENODEV, 24, false, 68,
        "No such device. To fix: configure the board first (comedi_config)");
    row("open: no such address", "open", ENXIO, 24, false, 68, "No such device or address" + Gone);
    row("open: node removed", "open", ENOENT, 24, false, 68, "No such file or directory" + Gone);
    row("open: not comedi", "open", ENOTTY, 24, false, 57,
        "Not a comedi device (Inappropriate ioctl for device)");
    row("open: other", "open", EIO, 24, false, 57, "Input/output error");
    row("open: subdevice now DI", "open", 0, 0, false, 57, Reconfigured);
    row("open: shrank below 16", "open", 0, 15, false, 57, Reconfigured);
    row("open: subdevice gone", "open", 0, -1, false, 57, Reconfigured);
    row("read: board detached", "read", ENODEV, 24, false, 68, "No such device" + Detached);
    row("read: no such address", "read", ENXIO, 24, false, 68,
        "No such device or address" + Detached);
    row("read: node removed", "read", ENOENT, 24, false, 68,
        "No such file or directory" + Detached);
    row("read: busy", "read", EBUSY, 24, false, 70, Busy + BusyFix);
    row("read: I/O error", "read", EIO, 24, false, 57, "Input/output error");
    // The kernel refuses a locked subdevice's instructions with EACCES; to the user that is a
    // busy card, not a missing permission.
    row("read: locked while polling", "read", 0, 24, true, 70, Busy + BusyFix);
    row("configure: locked", "configure", 0, 24, true, 70, Busy + BusyFix);
    row("configure: refused", "configure", EINVAL, 24, false, 57, "Invalid argument");
}

void tst_ComediCard::failures()
{
    QFETCH(QString, step);
    QFETCH(int, error);
    QFETCH(int, channels);
    QFETCH(bool, locked);
    QFETCH(int, code);
    QFETCH(QString, description);

    Bench bench;
    const bool atOpen = step == "open";
    auto card = bench.card(Type::DigitalIO, 24, 0, !atOpen);
    FakeBoard &board = bench.api.boards[bench.node(0)];
    board.openError = atOpen ? error : 0;
    board.readError = board.configError = atOpen ? 0 : error;
    if (channels < 0)
        board.subdevices.resize(2);
    else if (channels != 24)
        board.subdevices[2] = {channels ? Type::DigitalIO : Type::DigitalInput, unsigned(channels)};
    if (channels >= 0)
        board.subdevices[2].lockedElsewhere = locked;

    std::int16_t value = 1234;
    const DispatchStatus status = atOpen                ? card->open()
                                  : step == "configure" ? card->configurePorts(0, 0x9B).status
                                                        : card->readPort(0, value).status;
    QVERIFY(status.failed);
    QCOMPARE(status.code, code);
    QCOMPARE(QString::fromStdString(status.description), bench.described(description));
    QCOMPARE(value, std::int16_t(1234));
    QVERIFY(bench.api.log.configs.size() <= 1); // gives up at the first refusal
    if (atOpen) {
        // A device that opened but did not fit is not kept.
        QCOMPARE(bench.api.log.closes, error != 0 ? 0 : 1);
        QVERIFY(card->readPort(0, value).status.failed);
    }
}

void tst_ComediCard::closeReleasesTheDeviceOnce()
{
    Bench bench;
    {
        auto card = bench.card(Type::DigitalIO, 24);
        QVERIFY(!card->open().failed); // already open: the same device
        QCOMPARE(bench.api.log.opened.size(), std::size_t(1));
        card->close();
        card->close();
        QCOMPARE(bench.api.log.closes, 1);
        std::int16_t value = 1234;
        for (const DispatchOutcome &outcome :
             {card->readPort(0, value), card->configurePorts(0, 0x9B)}) {
            QCOMPARE(outcome.status.code, 57);
            QCOMPARE(QString::fromStdString(outcome.status.description),
                     bench.described("the device is not open"));
        }
        QVERIFY(bench.api.log.readSubdevices.empty());
    }
    QCOMPARE(bench.api.log.closes, 1); // the destructor does not close again
    bench.card(Type::DigitalIO, 24).reset();
    QCOMPARE(bench.api.log.closes, 2); // nor does a card dropped open leak its device
}

void tst_ComediCard::systemApiReportsANodeThatIsNotComedi()
{
    // Real comedilib on a plain file: its open must fail with the error of the ioctl, not a
    // crash or a stale number.
    QTemporaryDir dir;
    const std::filesystem::path devDir(dir.path().toStdString());
    std::ofstream(devDir / "comedi4").put('\n');

    const std::vector<CardOffer> offers = findComediCards(systemComediApi(), devDir);
    QCOMPARE(offers.size(), std::size_t(1));
    QCOMPARE(offers[0].info.location, (devDir / "comedi4").string());
    QVERIFY(!offers[0].usable);
    QCOMPARE(offers[0].status, "Not a comedi device (" + std::string(std::strerror(ENOTTY)) + ")");
}

void tst_ComediCard::realBoard()
{
    const QByteArray variable = qgetenv("VELMORA_TEST_COMEDI");
    if (variable.isEmpty())
        QSKIP("set VELMORA_TEST_COMEDI=/dev/comediN to run against a real board");
    const std::filesystem::path node(variable.toStdString());

    const std::vector<CardOffer> offers = findComediCards(systemComediApi(), node.parent_path());
    const auto found = std::ranges::find_if(offers, [&](const CardOffer &offer) {
        return offer.usable && offer.info.location == node.string();
    });
    QVERIFY2(found != offers.end(), "no usable card on the node (comedi0 to comedi47)");

    std::unique_ptr<Card> card = found->make();
    const DispatchStatus status = card->open();
    QVERIFY2(!status.failed, status.description.c_str());
    QVERIFY(isBoolean(card->configurePorts(0, 0x9B), true));
    for (int port : {0, 1}) {
        std::int16_t value = -1;
        const DispatchOutcome outcome = card->readPort(port, value);
        QVERIFY2(isBoolean(outcome, true), outcome.status.description.c_str());
        QVERIFY(value >= 0 && value <= 0xFF);
        qInfo("%s port %d: 0x%02X", found->info.name.c_str(), port, unsigned(value));
    }
    card->close();
}

QTEST_GUILESS_MAIN(tst_ComediCard)

#include "tst_comedicard.moc"
