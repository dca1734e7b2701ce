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

struct FakeSubdevice {
    Type type;
    unsigned channels;
    // Another file holds it with comedi_lock: the kernel still opens the node and lists the
    // subdevice as locked, and refuses its instructions with EACCES.
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

struct ConfigCall {
    unsigned subdevice;
    unsigned channel;
    bool output;
};
struct ReadCall {
    unsigned subdevice;
    unsigned baseChannel;
};

struct FakeLog {
    std::vector<std::string> opened; // every open attempt, in order
    int closes = 0;
    std::vector<ConfigCall> configs;
    std::vector<ReadCall> reads;
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
    bool heldElsewhere(unsigned s) const override
    {
        return m_board.subdevices.at(s).lockedElsewhere;
    }

    int dioConfig(unsigned subdevice, unsigned channel, bool output) override
    {
        m_log.configs.push_back({subdevice, channel, output});
        if (m_board.subdevices.at(subdevice).lockedElsewhere)
            return EACCES;
        return m_board.configError;
    }
    int dioBitfield(unsigned subdevice, unsigned baseChannel, std::uint32_t &bits) override
    {
        m_log.reads.push_back({subdevice, baseChannel});
        if (m_board.subdevices.at(subdevice).lockedElsewhere)
            return EACCES;
        if (m_board.readError != 0)
            return m_board.readError;
        // As comedilib: 32 lines from the base channel, none past the subdevice's last one,
        // and no lines at all from a subdevice that is not digital.
        const FakeSubdevice &read = m_board.subdevices.at(subdevice);
        if (read.type != Type::DigitalIO && read.type != Type::DigitalInput)
            return EINVAL;
        const std::uint64_t present = read.channels >= 64 ? ~0ull : (1ull << read.channels) - 1;
        bits = std::uint32_t((m_board.lines & present) >> baseChannel);
        return 0;
    }

private:
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
        if (error != 0)
            return nullptr;
        return std::make_unique<FakeDevice>(it->second, log);
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
    // An open card on subdevice 2 of comedi0 (a number other than 0 catches a subdevice lost
    // on the way).
    std::unique_ptr<ComediCard> openCard(Type type, unsigned channels, std::uint64_t lines = 0)
    {
        FakeBoard board;
        board.subdevices = {{Type::Other, 16}, {Type::Unused, 0}, {type, channels}};
        board.lines = lines;
        addNode(0, board);
        auto card = std::make_unique<ComediCard>(api, node(0), 2, type,
                                                 CardInfo{"card", "comedi", node(0)});
        const DispatchStatus status = card->open();
        if (status.failed)
            qWarning("open failed: %s", status.description.c_str());
        return card;
    }
};

bool isTrue(const DispatchOutcome &outcome)
{
    return !outcome.status.failed && outcome.result == AutomationValue::boolean(true);
}

bool isFalse(const DispatchOutcome &outcome)
{
    return !outcome.status.failed && outcome.result == AutomationValue::boolean(false);
}

const char *const GroupFix = "add your user to the group 'iocard' and log in again";

} // namespace

class tst_ComediCard final : public QObject {
    Q_OBJECT

private slots:
    void discovery_data();
    void discovery();
    void discoverySkipsGapsAndClosesEveryDevice();
    void offersMakeUnopenedCards();
    void controlWords_data();
    void controlWords();
    void digitalInputSubdeviceWords_data();
    void digitalInputSubdeviceWords();
    void readPortMapping_data();
    void readPortMapping();
    void failuresNameTheNode_data();
    void failuresNameTheNode();
    void openFailures_data();
    void openFailures();
    void closeReleasesTheDeviceOnce();
    void systemApiReportsANodeThatIsNotComedi();
    void realBoard();
};

namespace {

// comedi1 missing; the others each fail their own way or offer their own subdevices.
void buildDiscoveryBench(Bench &bench)
{
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
    bench.addNode(7, {.subdevices = {{Type::DigitalIO, 8}, {Type::Other, 32}}});
    bench.addNode(8, {.openError = EIO});
    bench.addNode(
        47, {.board = "Other", .driver = "otherdrv", .subdevices = {{Type::DigitalInput, 32}}});
    bench.addNode(48, {.subdevices = {{Type::DigitalIO, 24}}}); // past the last minor
}

} // namespace

void tst_ComediCard::discovery_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("name"); // "%1" is the node
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("minor");
    QTest::addColumn<bool>("usable");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("fix");

    QTest::newRow("8255 DIO subdevice") << 0 << "TestBoard (testdrv) %1, subdevice 0"
                                        << "comedi DIO" << 0 << true << "Ready"
                                        << "";
    QTest::newRow("16-channel DI subdevice") << 1 << "TestBoard (testdrv) %1, subdevice 2"
                                             << "comedi DI" << 0 << true << "Ready"
                                             << "";
    QTest::newRow("permission denied") << 2 << "%1"
                                       << "comedi" << 2 << false << "Permission denied" << GroupFix;
    QTest::newRow("unconfigured minor") << 3 << "%1"
                                        << "comedi" << 3 << false << "No such device"
                                        << "configure the board first (comedi_config)";
    QTest::newRow("not comedi") << 4 << "%1"
                                << "comedi" << 5 << false
                                << "Not a comedi device (Inappropriate ioctl for device)"
                                << "";
    QTest::newRow("locked by another program")
        << 5 << "TestBoard (testdrv) %1, subdevice 0"
        << "comedi DIO" << 6 << false << "Busy, in use by another program"
        << "close the program using it";
    QTest::newRow("no suitable subdevice")
        << 6 << "TestBoard (testdrv) %1"
        << "comedi" << 7 << false << "No digital-input subdevice with 16 or more channels"
        << "";
    QTest::newRow("other error") << 7 << "%1"
                                 << "comedi" << 8 << false << "Input/output error"
                                 << "";
    QTest::newRow("last minor") << 8 << "Other (otherdrv) %1, subdevice 0"
                                << "comedi DI" << 47 << true << "Ready"
                                << "";
}

void tst_ComediCard::discovery()
{
    QFETCH(int, row);
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(int, minor);
    QFETCH(bool, usable);
    QFETCH(QString, status);
    QFETCH(QString, fix);

    Bench bench;
    buildDiscoveryBench(bench);
    const std::vector<CardOffer> offers = findComediCards(bench.api, bench.devDir);
    QCOMPARE(offers.size(), std::size_t(9));

    const CardOffer &offer = offers[std::size_t(row)];
    const QString node = QString::fromStdString(bench.node(minor));
    QCOMPARE(QString::fromStdString(offer.info.name), name.arg(node));
    QCOMPARE(QString::fromStdString(offer.info.kind), kind);
    QCOMPARE(QString::fromStdString(offer.info.location), node);
    QCOMPARE(offer.usable, usable);
    QCOMPARE(QString::fromStdString(offer.status), status);
    QCOMPARE(QString::fromStdString(offer.fix), fix);
    QCOMPARE(bool(offer.make), usable);
}

void tst_ComediCard::discoverySkipsGapsAndClosesEveryDevice()
{
    Bench bench;
    buildDiscoveryBench(bench);
    findComediCards(bench.api, bench.devDir);

    std::vector<std::string> expected;
    for (int minor : {0, 2, 3, 5, 6, 7, 8, 47})
        expected.push_back(bench.node(minor));
    QCOMPARE(bench.api.log.opened, expected);
    QCOMPARE(bench.api.log.closes, 4); // the four that opened

    Bench empty;
    QVERIFY(findComediCards(empty.api, empty.devDir).empty());
    QVERIFY(empty.api.log.opened.empty());
}

void tst_ComediCard::offersMakeUnopenedCards()
{
    Bench bench;
    buildDiscoveryBench(bench);
    const std::vector<CardOffer> offers = findComediCards(bench.api, bench.devDir);
    const std::size_t opensAfterScan = bench.api.log.opened.size();

    std::unique_ptr<Card> card = offers[1].make();
    QCOMPARE(card->info().name, offers[1].info.name);
    QCOMPARE(bench.api.log.opened.size(), opensAfterScan);

    QVERIFY(!card->open().failed);
    QCOMPARE(bench.api.log.opened.back(), bench.node(0));
    std::int16_t value = 0;
    QVERIFY(isTrue(card->readPort(1, value)));
    QCOMPARE(bench.api.log.reads.back().subdevice, 2u); // the DI subdevice, not the first
    card->close();
}

void tst_ComediCard::controlWords_data()
{
    QTest::addColumn<unsigned>("channels");
    QTest::addColumn<int>("chip");
    QTest::addColumn<int>("word");
    QTest::addColumn<bool>("accepted");
    // One letter per dioConfig call, channels 0, 1, 2, ... in order: i input, o output.
    QTest::addColumn<QString>("directions");

    QTest::newRow("0x9B all inputs") << 24u << 0 << 0x9B << true << "iiiiiiii iiiiiiii iiii iiii";
    QTest::newRow("0x80 all outputs") << 24u << 0 << 0x80 << true << "oooooooo oooooooo oooo oooo";
    QTest::newRow("0x90 A in") << 24u << 0 << 0x90 << true << "iiiiiiii oooooooo oooo oooo";
    QTest::newRow("0x82 B in") << 24u << 0 << 0x82 << true << "oooooooo iiiiiiii oooo oooo";
    QTest::newRow("0x89 C in") << 24u << 0 << 0x89 << true << "oooooooo oooooooo iiii iiii";
    QTest::newRow("0x81 C lower in") << 24u << 0 << 0x81 << true << "oooooooo oooooooo iiii oooo";
    QTest::newRow("0x88 C upper in") << 24u << 0 << 0x88 << true << "oooooooo oooooooo oooo iiii";
    QTest::newRow("high byte ignored")
        << 24u << 0 << 0x7F9B << true << "iiiiiiii iiiiiiii iiii iiii";
    QTest::newRow("16 channels: no port C") << 16u << 0 << 0x80 << true << "oooooooo oooooooo";
    QTest::newRow("48 channels: chip 0 is 24")
        << 48u << 0 << 0x9B << true << "iiiiiiii iiiiiiii iiii iiii";
    QTest::newRow("0xBB mode 1 group A") << 24u << 0 << 0xBB << false << "";
    QTest::newRow("0xDB mode 2 group A") << 24u << 0 << 0xDB << false << "";
    QTest::newRow("0x9F mode 1 group B") << 24u << 0 << 0x9F << false << "";
    QTest::newRow("set PC3") << 24u << 0 << ((3 << 1) | 1) << false << "";
    QTest::newRow("reset PC3") << 24u << 0 << (3 << 1) << false << "";
    QTest::newRow("chip 1") << 24u << 1 << 0x9B << false << "";
    QTest::newRow("chip -1") << 24u << -1 << 0x80 << false << "";
}

void tst_ComediCard::controlWords()
{
    QFETCH(unsigned, channels);
    QFETCH(int, chip);
    QFETCH(int, word);
    QFETCH(bool, accepted);
    QFETCH(QString, directions);

    Bench bench;
    auto card = bench.openCard(Type::DigitalIO, channels);
    const DispatchOutcome outcome = card->configurePorts(chip, std::int16_t(word));
    QVERIFY(accepted ? isTrue(outcome) : isFalse(outcome));

    QString made;
    for (std::size_t i = 0; i < bench.api.log.configs.size(); ++i) {
        const ConfigCall &call = bench.api.log.configs[i];
        QCOMPARE(call.subdevice, 2u);
        QCOMPARE(call.channel, unsigned(i));
        made += call.output ? 'o' : 'i';
    }
    QCOMPARE(made, directions.remove(' '));
}

void tst_ComediCard::digitalInputSubdeviceWords_data()
{
    QTest::addColumn<unsigned>("channels");
    QTest::addColumn<int>("word");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("all inputs") << 16u << 0x9B << true;
    QTest::newRow("outputs only on ports it lacks") << 16u << 0x92 << true;
    QTest::newRow("A out") << 16u << 0x82 << false;
    QTest::newRow("B out") << 16u << 0x90 << false;
    QTest::newRow("C out on 24 channels") << 24u << 0x92 << false;
    QTest::newRow("C lower out on 20 channels") << 20u << 0x9A << false;
    QTest::newRow("all inputs on 24 channels") << 24u << 0x9B << true;
    QTest::newRow("mode 1") << 16u << 0xBF << false;
    QTest::newRow("bit set") << 16u << 0x01 << false;
}

void tst_ComediCard::digitalInputSubdeviceWords()
{
    QFETCH(unsigned, channels);
    QFETCH(int, word);
    QFETCH(bool, accepted);

    Bench bench;
    auto card = bench.openCard(Type::DigitalInput, channels);
    const DispatchOutcome outcome = card->configurePorts(0, std::int16_t(word));
    QVERIFY(accepted ? isTrue(outcome) : isFalse(outcome));
    QVERIFY(bench.api.log.configs.empty());
}

void tst_ComediCard::readPortMapping_data()
{
    QTest::addColumn<unsigned>("channels");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("value"); // -1: reports False

    // The lines hold a distinct byte per port, so a wrong shift or a missing mask shows.
    QTest::newRow("24 ch port 0") << 24u << 0 << 0xA5;
    QTest::newRow("24 ch port 1") << 24u << 1 << 0xC3;
    QTest::newRow("24 ch port 2") << 24u << 2 << 0xF0;
    QTest::newRow("24 ch port 3") << 24u << 3 << -1;
    QTest::newRow("negative port") << 24u << -1 << -1;
    QTest::newRow("huge port") << 24u << 0x20000000 << -1;
    QTest::newRow("16 ch port 1") << 16u << 1 << 0xC3;
    QTest::newRow("16 ch port 2") << 16u << 2 << -1;
    QTest::newRow("23 ch port 2: a line short") << 23u << 2 << -1;
    QTest::newRow("48 ch port 3") << 48u << 3 << 0x81;
    QTest::newRow("48 ch port 4") << 48u << 4 << 0x7E;
    QTest::newRow("48 ch port 5") << 48u << 5 << 0x3C;
    QTest::newRow("64 ch port 7") << 64u << 7 << 0xFF;
}

void tst_ComediCard::readPortMapping()
{
    QFETCH(unsigned, channels);
    QFETCH(int, port);
    QFETCH(int, value);

    Bench bench;
    auto card = bench.openCard(Type::DigitalIO, channels, 0xFFFF3C7E81F0C3A5);
    std::int16_t read = 1234;
    const DispatchOutcome outcome = card->readPort(port, read);
    if (value < 0) {
        QVERIFY(isFalse(outcome));
        QCOMPARE(read, std::int16_t(1234));
        return;
    }
    QVERIFY(isTrue(outcome));
    QCOMPARE(read, std::int16_t(value));
}

void tst_ComediCard::failuresNameTheNode_data()
{
    QTest::addColumn<bool>("configure"); // else read
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("locked");         // another program takes the subdevice after the open
    QTest::addColumn<int>("code");            // the run-time error: never the errno itself
    QTest::addColumn<QString>("description"); // after "<card> at <node>: "

    const QString detached = ". To fix: the board was detached; configure it again (comedi_config) "
                             "and select the device again";
    QTest::newRow("board detached while polling")
        << false << ENODEV << false << 68 << "No such device" + detached;
    QTest::newRow("node removed") << false << ENOENT << false << 68
                                  << "No such file or directory" + detached;
    QTest::newRow("read fails") << false << EIO << false << 57 << "Input/output error";
    QTest::newRow("direction refused") << true << EINVAL << false << 57 << "Invalid argument";
    // The kernel refuses a locked subdevice's instructions with EACCES; to the user that is a
    // busy card, not a missing permission.
    QTest::newRow("locked while polling")
        << false << 0 << true << 70
        << "Busy, in use by another program. To fix: close the program using it";
    QTest::newRow("locked before Initial")
        << true << 0 << true << 70
        << "Busy, in use by another program. To fix: close the program using it";
}

void tst_ComediCard::failuresNameTheNode()
{
    QFETCH(bool, configure);
    QFETCH(int, error);
    QFETCH(bool, locked);
    QFETCH(int, code);
    QFETCH(QString, description);

    Bench bench;
    auto card = bench.openCard(Type::DigitalIO, 24);
    FakeBoard &board = bench.api.boards[bench.node(0)];
    board.readError = board.configError = error;
    board.subdevices[2].lockedElsewhere = locked;

    std::int16_t value = 1234;
    const DispatchOutcome outcome =
        configure ? card->configurePorts(0, 0x9B) : card->readPort(0, value);
    QVERIFY(outcome.status.failed);
    QCOMPARE(outcome.status.code, code);
    QCOMPARE(QString::fromStdString(outcome.status.description),
             QString::fromStdString("card at " + bench.node(0)) + ": " + description);
    QCOMPARE(value, std::int16_t(1234));
    QVERIFY(bench.api.log.configs.size() <= 1); // gives up at the first refusal
}

void tst_ComediCard::openFailures_data()
{
    QTest::addColumn<int>("openError");
    QTest::addColumn<int>("channels"); // subdevice 2's by now; 0: no longer a DIO one
    QTest::addColumn<bool>("locked");  // another program holds subdevice 2
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("description"); // after "<card> at <node>: "

    const QString reconfigured = "subdevice 2 is no longer a DIO subdevice with 16 or more "
                                 "channels. To fix: choose the card again in \"Select Device\"";
    // The same wording as every kind of card: reason, then ". To fix: " and the fix.
    QTest::newRow("permission") << EACCES << 24 << false << 70
                                << QString("Permission denied. To fix: ") + GroupFix;
    QTest::newRow("not permitted")
        << EPERM << 24 << false << 70 << QString("Operation not permitted. To fix: ") + GroupFix;
    QTest::newRow("locked by another program")
        << 0 << 24 << true << 70
        << "Busy, in use by another program. To fix: close the program using it";
    QTest::newRow("driver refuses as busy")
        << EBUSY << 24 << false << 70
        << "Busy, in use by another program (Device or resource busy). To fix: close the program "
           "using it";
    QTest::newRow("unconfigured") << ENODEV << 24 << false << 68
                                  << "No such device. To fix: configure the board first "
                                     "(comedi_config)";
    QTest::newRow("no such address")
        << ENXIO << 24 << false << 68
        << "No such device or address. To fix: the board has gone; attach it again "
           "(comedi_config), then try again";
    QTest::newRow("other") << EIO << 24 << false << 57 << "Input/output error";
    QTest::newRow("reconfigured") << 0 << 0 << false << error_code::DeviceIoError << reconfigured;
    QTest::newRow("shrank below 16")
        << 0 << 15 << false << error_code::DeviceIoError << reconfigured;
}

void tst_ComediCard::openFailures()
{
    QFETCH(int, openError);
    QFETCH(int, channels);
    QFETCH(bool, locked);
    QFETCH(int, code);
    QFETCH(QString, description);

    Bench bench;
    FakeBoard &board = bench.addNode(
        0, {.openError = openError,
            .subdevices = {{Type::DigitalIO, 24}, {Type::Unused, 0}, {Type::DigitalIO, 24}}});
    const bool boardChanged = channels != 24;
    if (boardChanged)
        board.subdevices[2] = {channels ? Type::DigitalIO : Type::DigitalInput, unsigned(channels)};
    board.subdevices[2].lockedElsewhere = locked;
    ComediCard card(bench.api, bench.node(0), 2, Type::DigitalIO,
                    {"card", "comedi", bench.node(0)});

    const DispatchStatus status = card.open();
    QVERIFY(status.failed);
    QCOMPARE(status.code, code);
    QCOMPARE(QString::fromStdString(status.description),
             QString::fromStdString("card at " + bench.node(0)) + ": " + description);
    // A device that opened but did not fit is not kept.
    QCOMPARE(bench.api.log.closes, boardChanged || locked ? 1 : 0);
    std::int16_t value = 0;
    QVERIFY(card.readPort(0, value).status.failed);
}

void tst_ComediCard::closeReleasesTheDeviceOnce()
{
    Bench bench;
    {
        auto card = bench.openCard(Type::DigitalIO, 24);
        card->close();
        QCOMPARE(bench.api.log.closes, 1);
        card->close();
        QCOMPARE(bench.api.log.closes, 1);

        std::int16_t value = 1234;
        for (const DispatchOutcome &outcome :
             {card->readPort(0, value), card->configurePorts(0, 0x9B)}) {
            QVERIFY(outcome.status.failed);
            QCOMPARE(outcome.status.code, 57);
            QCOMPARE(outcome.status.description,
                     "card at " + bench.node(0) + ": the device is not open");
        }
        QVERIFY(bench.api.log.reads.empty());
    }
    QCOMPARE(bench.api.log.closes, 1); // the destructor does not close again

    {
        auto card = bench.openCard(Type::DigitalIO, 24);
    }
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
    const CardOffer *found = nullptr;
    QStringList seen;
    for (const CardOffer &offer : offers) {
        if (offer.info.location != node.string())
            continue;
        seen << QString::fromStdString(offer.info.name + ": " + offer.status);
        if (offer.usable && found == nullptr)
            found = &offer;
    }
    QVERIFY2(found != nullptr,
             qPrintable("no usable card on " + QString::fromStdString(node.string()) + ": " +
                        (seen.isEmpty() ? QStringLiteral("no such node among comedi0 to comedi47")
                                        : seen.join("; "))));

    std::unique_ptr<Card> card = found->make();
    const DispatchStatus status = card->open();
    QVERIFY2(!status.failed, status.description.c_str());
    QVERIFY(isTrue(card->configurePorts(0, 0x9B)));
    for (int port : {0, 1}) {
        std::int16_t value = -1;
        const DispatchOutcome outcome = card->readPort(port, value);
        QVERIFY2(isTrue(outcome), outcome.status.description.c_str());
        QVERIFY(value >= 0 && value <= 0xFF);
        qInfo("%s port %d: 0x%02X", found->info.name.c_str(), port, unsigned(value));
    }
    card->close();
}

QTEST_GUILESS_MAIN(tst_ComediCard)

#include "tst_comedicard.moc"
