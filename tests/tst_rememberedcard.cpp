#include "automation/device_control.h"
#include "cards/card_control.h"
#include "fakes.h"
#include "remembered_card.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace velmora;
using velmora::testing::FakeCard;

namespace {

namespace fs = std::filesystem;

const CardInfo Board{"PCI-DIO24 (8255_pci) /dev/comedi0, subdevice 0", "comedi DIO",
                     "/dev/comedi0"};
const CardInfo Chip{"gpiochip0 [pinctrl]", "GPIO chip", "/dev/gpiochip0"};

// Offers the board (usable or not) and the chip.
class FakeCatalog final : public CardCatalog {
public:
    explicit FakeCatalog(FakeCard::Log &log)
        : m_log(log)
    {}
    bool boardPresent = true;
    bool boardUsable = true;

    std::vector<CardOffer> offers() override
    {
        std::vector<CardOffer> offers;
        if (boardPresent)
            offers.push_back(offer(Board, boardUsable));
        offers.push_back(offer(Chip, true));
        return offers;
    }

private:
    CardOffer offer(const CardInfo &info, bool usable)
    {
        CardOffer offer{info,
                        usable,
                        usable ? "Ready" : "Permission denied",
                        usable ? "" : "add your user to the group 'iocard'",
                        {}};
        if (usable)
            offer.make = [this, info] {
                return std::make_unique<FakeCard>(info.name, m_log);
            };
        return offer;
    }
    FakeCard::Log &m_log;
};

class ScriptedSelector final : public CardSelector {
public:
    CardChoice::Outcome outcome = CardChoice::Outcome::Replace;
    std::unique_ptr<Card> next;
    CardChoice chooseCard(const Card &) override { return {outcome, std::move(next)}; }
};

void writeFile(const fs::path &path, const QByteArray &text)
{
    fs::create_directories(path.parent_path());
    QFile file(QString::fromStdString(path.string()));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
}

} // namespace

class tst_RememberedCard final : public QObject {
    Q_OBJECT

private slots:
    void init();
    void rememberedIsRecalledAndPrivate();
    void defaultPathFollowsTheConfigurationFolder_data();
    void defaultPathFollowsTheConfigurationFolder();
    void startingCard_data();
    void startingCard();
    void controlRemembersEachChoice_data();
    void controlRemembersEachChoice();

private:
    std::unique_ptr<QTemporaryDir> m_temp;
    fs::path m_file;
};

void tst_RememberedCard::init()
{
    m_temp = std::make_unique<QTemporaryDir>();
    // Below a configuration folder that does not exist yet, as on a fresh account.
    m_file = fs::path(m_temp->path().toStdString()) / "config" / "velmora" / "card";
}

void tst_RememberedCard::rememberedIsRecalledAndPrivate()
{
    RememberedCardFile memory(m_file);
    QVERIFY(!memory.recall()); // nothing yet, and no folder made for looking
    QVERIFY(!fs::exists(m_file.parent_path()));

    memory.remember(Chip);
    memory.remember(Board); // replaces the first
    const std::optional<CardInfo> recalled = RememberedCardFile(m_file).recall();
    QVERIFY(recalled);
    QVERIFY(sameCard(*recalled, Board));

    struct stat file {
    }, folder{};
    QCOMPARE(::lstat(m_file.c_str(), &file), 0);
    QCOMPARE(::lstat(m_file.parent_path().c_str(), &folder), 0);
    QCOMPARE(file.st_mode & 07777, 0600u);
    QCOMPARE(folder.st_mode & 07777, 0700u);
    QCOMPARE(std::distance(fs::directory_iterator(m_file.parent_path()), {}), 1); // no leftovers

    // A name that would break the file's lines is refused, and the file stays as it was.
    QVERIFY_THROWS_EXCEPTION(FileError, memory.remember({"two\nlines", "x", "y"}));
    QVERIFY(sameCard(*memory.recall(), Board));
}

void tst_RememberedCard::defaultPathFollowsTheConfigurationFolder_data()
{
    QTest::addColumn<QByteArray>("config"); // "-": unset
    QTest::addColumn<QByteArray>("home");
    QTest::addColumn<QString>("expected"); // empty: refused

    QTest::newRow("XDG_CONFIG_HOME")
        << QByteArray("/cfg") << QByteArray("/home/u") << "/cfg/velmora/card";
    QTest::newRow("unset: ~/.config")
        << QByteArray("-") << QByteArray("/home/u") << "/home/u/.config/velmora/card";
    QTest::newRow("relative XDG_CONFIG_HOME is ignored")
        << QByteArray("cfg") << QByteArray("/home/u") << "/home/u/.config/velmora/card";
    QTest::newRow("neither") << QByteArray("-") << QByteArray("-") << QString();
}

void tst_RememberedCard::defaultPathFollowsTheConfigurationFolder()
{
    QFETCH(QByteArray, config);
    QFETCH(QByteArray, home);
    QFETCH(QString, expected);

    const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
    const QByteArray savedHome = qgetenv("HOME");
    const auto set = [](const char *name, const QByteArray &value) {
        value == "-" ? qunsetenv(name) : qputenv(name, value);
    };
    set("XDG_CONFIG_HOME", config);
    set("HOME", home);
    if (expected.isEmpty()) {
        QVERIFY_THROWS_EXCEPTION(FileError, RememberedCardFile::defaultPath());
        // The control still starts: it says why nothing is remembered.
        QVERIFY_THROWS_EXCEPTION(FileError, RememberedCardFile().recall());
    } else {
        QCOMPARE(QString::fromStdString(RememberedCardFile::defaultPath().string()), expected);
    }
    set("XDG_CONFIG_HOME", savedConfig.isNull() ? "-" : savedConfig);
    set("HOME", savedHome.isNull() ? "-" : savedHome);
}

void tst_RememberedCard::startingCard_data()
{
    QTest::addColumn<QString>("file");   // the file's content; "remember": as written by us
    QTest::addColumn<bool>("present");   // the board is still there
    QTest::addColumn<bool>("usable");    // and can be opened
    QTest::addColumn<QString>("card");   // the card offered
    QTest::addColumn<QString>("tag");    // the caption's note
    QTest::addColumn<QString>("detail"); // part of the tool tip

    QTest::newRow("nothing remembered") << "" << true << true << "fallback"
                                        << ""
                                        << "";
    QTest::newRow("present") << "remember" << true << true << QString::fromStdString(Board.name)
                             << "last used"
                             << "";
    QTest::newRow("gone") << "remember" << false << true << "fallback"
                          << "last card gone"
                          << "/dev/comedi0), is not there now";
    QTest::newRow("cannot be opened") << "remember" << true << false << "fallback"
                                      << "last card unusable"
                                      << "To fix: add your user to the group 'iocard'";
    QTest::newRow("corrupt") << "velmora card 1\nname x\n"
                             << true << true << "fallback"
                             << "last card unreadable"
                             << "corrupt: no card location";
    QTest::newRow("another program's file") << "[card]\nname=x\n"
                                            << true << true << "fallback"
                                            << "last card unreadable"
                                            << "corrupt";
    QTest::newRow("symbolic link") << "link" << true << true << "fallback"
                                   << "last card unreadable"
                                   << "refusing to follow it";
}

void tst_RememberedCard::startingCard()
{
    QFETCH(QString, file);
    QFETCH(bool, present);
    QFETCH(bool, usable);
    QFETCH(QString, card);
    QFETCH(QString, tag);
    QFETCH(QString, detail);

    RememberedCardFile memory(m_file);
    if (file == "remember") {
        memory.remember(Board);
    } else if (file == "link") {
        memory.remember(Board);
        const fs::path target = m_file.parent_path() / "elsewhere";
        fs::rename(m_file, target);
        fs::create_symlink(target, m_file);
    } else if (!file.isEmpty()) {
        writeFile(m_file, file.toUtf8());
    }
    FakeCard::Log log;
    FakeCatalog catalog(log);
    catalog.boardPresent = present;
    catalog.boardUsable = usable;

    const StartingCard start = velmora::startingCard(
        catalog, &memory, [&log] { return std::make_unique<FakeCard>("fallback", log); });
    QVERIFY(start.card);
    QCOMPARE(QString::fromStdString(start.card->info().name), card);
    QCOMPARE(QString::fromStdString(start.origin.tag), tag);
    QVERIFY2(QString::fromStdString(start.origin.detail).contains(detail),
             start.origin.detail.c_str());
    QCOMPARE(log.opens, 0); // the control opens it
}

void tst_RememberedCard::controlRemembersEachChoice_data()
{
    QTest::addColumn<int>("outcome");
    QTest::addColumn<bool>("writable");
    QTest::addColumn<QString>("remembered"); // empty: nothing
    QTest::addColumn<QString>("tag");

    const auto replace = int(CardChoice::Outcome::Replace);
    QTest::newRow("another card") << replace << true << QString::fromStdString(Chip.name) << "";
    QTest::newRow("the same card again") << int(CardChoice::Outcome::KeepCurrent) << true
                                         << QString::fromStdString(Board.name) << "";
    QTest::newRow("cancelled") << int(CardChoice::Outcome::Cancelled) << true << QString()
                               << "last card gone";
    QTest::newRow("cannot be kept") << replace << false << QString() << "not remembered";
}

void tst_RememberedCard::controlRemembersEachChoice()
{
    QFETCH(int, outcome);
    QFETCH(bool, writable);
    QFETCH(QString, remembered);
    QFETCH(QString, tag);

    if (!writable)
        writeFile(m_file.parent_path(), "a file where the folder should be");
    RememberedCardFile memory(m_file);
    FakeCard::Log log;
    CardControl control(std::make_unique<FakeCard>(Board.name, log));
    control.setMemory(&memory, {"last card gone", "..."});
    ScriptedSelector selector;
    selector.outcome = CardChoice::Outcome(outcome);
    if (selector.outcome == CardChoice::Outcome::Replace)
        selector.next = std::make_unique<FakeCard>(Chip.name, log);
    control.setSelector(&selector);
    QStringList shown;
    control.setCardChangedCallback([&](const CardInfo &info) {
        shown << QString::fromStdString(info.name + " " + control.origin().tag);
    });

    DeviceControl device(control);
    QCOMPARE(device.SelectDevice(), selector.outcome != CardChoice::Outcome::Cancelled);
    QCOMPARE(QString::fromStdString(control.origin().tag), tag);
    if (writable) {
        const std::optional<CardInfo> recalled = memory.recall();
        QCOMPARE(recalled ? QString::fromStdString(recalled->name) : QString(), remembered);
    }
    if (selector.outcome == CardChoice::Outcome::Replace) {
        // The choice stands whether or not it could be kept.
        QCOMPARE(control.card().info().name, Chip.name);
        QCOMPARE(shown, QStringList{QString::fromStdString(Chip.name) + " " + tag});
        if (!writable)
            QVERIFY(control.origin().detail.find("not a folder") != std::string::npos);
    } else if (selector.outcome == CardChoice::Outcome::KeepCurrent) {
        // The caption's note about how the card came first goes.
        QCOMPARE(shown, QStringList{QString::fromStdString(Board.name) + " "});
    }
}

QTEST_GUILESS_MAIN(tst_RememberedCard)
#include "tst_rememberedcard.moc"
