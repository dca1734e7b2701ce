#include "automation/device_control.h"
#include "cards/card_control.h"
#include "fakes.h"
#include "remembered_card.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fstream>

using namespace velmora;
using velmora::testing::FakeCard;

namespace {

namespace fs = std::filesystem;

const CardInfo Board{"PCI-DIO24 (8255_pci) /dev/comedi0, subdevice 0", "comedi DIO",
                     "/dev/comedi0"};
const CardInfo Chip{"gpiochip0 [pinctrl]", "GPIO chip", "/dev/gpiochip0"};

class FakeCatalog final : public CardCatalog {
public:
    std::vector<CardOffer> list;
    std::vector<CardOffer> offers() override { return list; }
};

CardOffer offer(const CardInfo &info, FakeCard::Log &log, bool usable = true)
{
    if (!usable)
        return {info, false, "Permission denied", "add your user to the group 'iocard'", {}};
    return {info, true, "Ready", "", [&log, info] {
                return std::make_unique<FakeCard>(info.name, log);
            }};
}

class ScriptedSelector final : public CardSelector {
public:
    CardChoice::Outcome outcome = CardChoice::Outcome::Replace;
    std::unique_ptr<Card> next;
    CardChoice chooseCard(const Card &) override { return {outcome, std::move(next)}; }
};

void writeFile(const fs::path &path, const QByteArray &text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(text.data(), text.size());
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
}

// "-" unsets the variable.
void setEnv(const char *name, const QByteArray &value)
{
    value == "-" ? qunsetenv(name) : qputenv(name, value);
}

} // namespace

class tst_RememberedCard final : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_temp;
    fs::path m_file;

private slots:
    void init()
    {
        m_temp = std::make_unique<QTemporaryDir>();
        // Below a configuration folder that does not exist yet, as on a fresh account.
        m_file = fs::path(m_temp->path().toStdString()) / "config" / "velmora" / "card";
    }

    void rememberedIsRecalledAndPrivate()
    {
        RememberedCardFile memory(m_file);
        QVERIFY(!memory.recall()); // nothing yet, and no folder made for looking
        QVERIFY(!fs::exists(m_file.parent_path()));

        memory.remember(Chip);
        memory.remember(Board); // replaces the first
        const std::optional<CardInfo> recalled = RememberedCardFile(m_file).recall();
        QVERIFY(recalled && sameCard(*recalled, Board));

        QCOMPARE(fs::symlink_status(m_file).permissions(), fs::perms(0600));
        QCOMPARE(fs::symlink_status(m_file.parent_path()).permissions(), fs::perms(0700));
        // No leftovers beside the file.
        QCOMPARE(std::distance(fs::directory_iterator(m_file.parent_path()), {}), 1);

        // What would break the file's lines is refused, and the file stays as it was.
        for (const CardInfo &bad :
             {CardInfo{"two\nlines", "x", "y"}, CardInfo{"", "x", "y"},
              CardInfo{"name", "x", std::string("nul\0", 4)}, CardInfo{"name", "x", "cr\r"}})
            QVERIFY_THROWS_EXCEPTION(FileError, memory.remember(bad));
        QVERIFY(sameCard(*memory.recall(), Board));
    }

    void defaultPathFollowsTheConfigurationFolder_data()
    {
        QTest::addColumn<QByteArrayList>("env"); // XDG_CONFIG_HOME and HOME; "-": unset
        QTest::addColumn<QString>("expected");   // empty: refused

        using L = QByteArrayList;
        const QString dotConfig = "/home/u/.config/velmora/card";
        QTest::newRow("XDG_CONFIG_HOME") << L{"/cfg", "/home/u"} << "/cfg/velmora/card";
        QTest::newRow("unset: ~/.config") << L{"-", "/home/u"} << dotConfig;
        QTest::newRow("empty XDG_CONFIG_HOME") << L{"", "/home/u"} << dotConfig;
        QTest::newRow("relative XDG_CONFIG_HOME") << L{"cfg", "/home/u"} << dotConfig;
        QTest::newRow("neither") << L{"-", "-"} << QString();
        QTest::newRow("relative HOME") << L{"cfg", "home/u"} << QString();
    }

    void defaultPathFollowsTheConfigurationFolder()
    {
        QFETCH(QByteArrayList, env);
        QFETCH(QString, expected);

        const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
        const QByteArray savedHome = qgetenv("HOME");
        setEnv("XDG_CONFIG_HOME", env[0]);
        setEnv("HOME", env[1]);
        if (expected.isEmpty()) {
            QVERIFY_THROWS_EXCEPTION(FileError, RememberedCardFile::defaultPath());
            // The control still starts: the file says why nothing is remembered.
            try {
                RememberedCardFile().remember(Board);
                QFAIL("remembered without a configuration folder");
            } catch (const FileError &error) {
                QVERIFY2(QString(error.what()).contains("configuration folder"), error.what());
            }
            QVERIFY_THROWS_EXCEPTION(FileError, RememberedCardFile().recall());
        } else {
            QCOMPARE(QString::fromStdString(RememberedCardFile::defaultPath().string()), expected);
        }
        setEnv("XDG_CONFIG_HOME", savedConfig.isNull() ? "-" : savedConfig);
        setEnv("HOME", savedHome.isNull() ? "-" : savedHome);
    }

    void startingCard_data()
    {
        // The file: "remember": as written by us; "-": no memory.
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("board");  // offered ready; "gone"; "unusable": cannot be opened
        QTest::addColumn<QString>("tag");    // the caption's note; "last used": the board starts
        QTest::addColumn<QString>("detail"); // part of the tool tip

        const auto row = [](const char *name, const QByteArray &file, const char *board,
                            const char *tag, const char *detail) {
            QTest::newRow(name) << file << QString(board) << QString(tag) << QString(detail);
        };
        row("no memory", "-", "", "", "");
        row("nothing remembered", "", "", "", "");
        row("present", "remember", "", "last used", "last chosen");
        row("gone", "remember", "gone", "last card gone",
            "subdevice 0 (/dev/comedi0), is not there now; the simulated card stands in.");
        row("cannot be opened", "remember", "unusable", "last card unusable",
            "opened: Permission denied\nTo fix: add your user to the group 'iocard'\nThe "
            "simulated");
        const QByteArray head = "velmora card 1\nname x\n";
        row("no location: gone", head + "location \n", "", "last card gone",
            "The card last used, x, is not there now");
        const auto corrupt = [&row](const char *name, const QByteArray &file, const char *detail) {
            row(name, file, "", "last card unreadable", detail);
        };
        corrupt("another program's file", "[card]\nname=x\n", "corrupt: does not start with");
        corrupt("no name line", "velmora card 1\n", "corrupt: no card name");
        corrupt("no name", "velmora card 1\nname \nlocation y\n",
                "corrupt: no card name on line 2");
        corrupt("name mislabelled", "velmora card 1\nlabel x\nlocation y\n",
                "corrupt: no card name");
        corrupt("no location line", head, "corrupt: no card location on line 3");
        corrupt("location mislabelled", head + "place y\n", "corrupt: no card location");
        corrupt("last line unended", head + "location y", "corrupt: no card location");
        corrupt("a fourth line", head + "location y\n\n", "corrupt: more than three lines");
        corrupt("carriage return", "velmora card 1\nname x\r\nlocation y\n", "corrupt: control");
        corrupt("NUL", head + QByteArray("location \0y\n", 12), "corrupt: control characters");
        corrupt("symbolic link", "link", "refusing to follow it");
    }

    void startingCard()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, board);
        QFETCH(QString, tag);
        QFETCH(QString, detail);

        RememberedCardFile memory(m_file);
        if (file == "remember" || file == "link")
            memory.remember(Board);
        if (file == "link") {
            const fs::path target = m_file.parent_path() / "elsewhere";
            fs::rename(m_file, target);
            fs::create_symlink(target, m_file);
        } else if (file != "remember" && file != "-" && !file.isEmpty()) {
            writeFile(m_file, file);
        }
        FakeCard::Log log;
        FakeCatalog catalog; // the board (usable or not) and the chip
        if (board != "gone")
            catalog.list.push_back(offer(Board, log, board != "unusable"));
        catalog.list.push_back(offer(Chip, log));

        const StartingCard start =
            velmora::startingCard(catalog, file == "-" ? nullptr : &memory,
                                  [&log] { return std::make_unique<FakeCard>("fallback", log); });
        QVERIFY(start.card);
        QCOMPARE(start.card->info().name, tag == "last used" ? Board.name : "fallback");
        QCOMPARE(QString::fromStdString(start.origin.tag), tag);
        QVERIFY2(QString::fromStdString(start.origin.detail).contains(detail),
                 start.origin.detail.c_str());
        QCOMPARE(detail.isEmpty(), start.origin.detail.empty());
        QCOMPARE(log.opens, 0); // the control opens it
    }

    void controlRemembersEachChoice_data()
    {
        QTest::addColumn<int>("outcome");
        QTest::addColumn<bool>("writable");
        QTest::addColumn<QString>("remembered"); // empty: nothing
        QTest::addColumn<QString>("shown");      // the card shown as chosen; empty: none
        QTest::addColumn<QString>("tag");        // the caption's note

        const auto replace = int(CardChoice::Outcome::Replace);
        const auto keep = int(CardChoice::Outcome::KeepCurrent);
        const QString board = QString::fromStdString(Board.name);
        const QString chip = QString::fromStdString(Chip.name);
        // The note about how the card came first goes once a card is chosen.
        QTest::newRow("another card") << replace << true << chip << chip << "";
        QTest::newRow("the same card again") << keep << true << board << board << "";
        QTest::newRow("cancelled") << int(CardChoice::Outcome::Cancelled) << true << QString()
                                   << QString() << "last card gone";
        // The choice stands whether or not it could be kept.
        QTest::newRow("cannot be kept") << replace << false << "" << chip << "not remembered";
    }

    void controlRemembersEachChoice()
    {
        QFETCH(int, outcome);
        QFETCH(bool, writable);
        QFETCH(QString, remembered);
        QFETCH(QString, shown);
        QFETCH(QString, tag);

        if (!writable)
            writeFile(m_file.parent_path(), "a file where the folder should be");
        RememberedCardFile memory(m_file);
        FakeCard::Log log;
        CardControl control(std::make_unique<FakeCard>(Board.name, log));
        control.setMemory(&memory, {"last card gone", "..."});
        ScriptedSelector selector;
        selector.outcome = CardChoice::Outcome(outcome);
        selector.next = std::make_unique<FakeCard>(Chip.name, log);
        control.setSelector(&selector);
        QStringList changes;
        control.setCardChangedCallback([&](const CardInfo &info) {
            changes << QString::fromStdString(info.name + " " + control.origin().tag);
        });

        QCOMPARE(DeviceControl(control).SelectDevice(), !shown.isEmpty());
        // The origin is settled before the new card is shown.
        QCOMPARE(changes.join('\n'), shown.isEmpty() ? "" : shown + " " + tag);
        QCOMPARE(QString::fromStdString(control.origin().tag), tag);
        QCOMPARE(control.card().info().name, shown.isEmpty() ? Board.name : shown.toStdString());
        QCOMPARE(control.origin().detail.find("not a folder") != std::string::npos, !writable);
        const std::optional<CardInfo> recalled = writable ? memory.recall() : std::nullopt;
        QCOMPARE(recalled ? QString::fromStdString(recalled->name) : QString(), remembered);
    }
};

QTEST_GUILESS_MAIN(tst_RememberedCard)
#include "tst_rememberedcard.moc"
