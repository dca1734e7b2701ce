#include "cards/card_catalog.h"
#include "device_control_widget.h"
#include "fakes.h"
#include "indicator_box.h"
#include "monitor_window.h"
#include "termination_signals.h"
#include "velmora_app.h"

#include <QDialogButtonBox>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include <csignal>
#include <functional>

using namespace velmora;
using velmora::testing::FakeCard;

namespace {

// Offers the cards a test prepares, each once.
class PreparedCards final : public CardCatalog {
public:
    std::vector<CardOffer> prepared;
    std::vector<CardOffer> offers() override { return prepared; }
};

MonitorWindow *velmoraWindowShown()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *window = qobject_cast<MonitorWindow *>(widget); window && window->isVisible())
            return window;
    return nullptr;
}

QList<QMessageBox *> reportsShown()
{
    QList<QMessageBox *> boxes;
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible())
            boxes << box;
    return boxes;
}

// Runs the program's event loop with `card`, acting as the user once the window is up.
int runWith(std::unique_ptr<FakeCard> card, std::function<void(MonitorWindow &)> user,
            CardCatalog *catalog = nullptr, TerminationSignals *endOn = nullptr)
{
    QTimer::singleShot(0, [user] {
        MonitorWindow *window = velmoraWindowShown();
        QVERIFY(window);
        user(*window);
    });
    // Should the user's steps fail half-way, end the loop rather than hang the suite.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    watchdog.start(10000);
    PreparedCards none;
    return runMonitor(std::move(card), catalog ? *catalog : none, endOn);
}

void click(MonitorWindow &window, const char *button)
{
    QTest::mouseClick(window.control(button), Qt::LeftButton);
}

} // namespace

class tst_App final : public QObject {
    Q_OBJECT

private slots:
    void reportText_data();
    void reportText();
    void waysOutEndWithStatus0AndReleaseTheCard_data();
    void waysOutEndWithStatus0AndReleaseTheCard();
    void errorIsReportedOnceThenEndsWithStatus1_data();
    void errorIsReportedOnceThenEndsWithStatus1();
    void pollingGoesOnWhileChoosingThenFollowsTheNewCard();
    void noDisplayIsOneLineAndStatus2();
    void terminationSignalEndsLikeExit_data();
    void terminationSignalEndsLikeExit();
    void terminationSignalEndsTheProcessByThatSignal();
    void helpAndVersionNeedNoDisplay_data();
    void helpAndVersionNeedNoDisplay();
    void iconIsBuiltIn();
};

void tst_App::reportText_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("line");

    QTest::newRow("type mismatch") << 13 << "Type mismatch"
                                   << "Run-time error '13':\n\nType mismatch"
                                   << "Velmora: Run-time error '13': Type mismatch";
    QTest::newRow("multi-line description")
        << 57 << "Device I/O error\n/dev/comedi0 gone"
        << "Run-time error '57':\n\nDevice I/O error\n/dev/comedi0 gone"
        << "Velmora: Run-time error '57': Device I/O error /dev/comedi0 gone";
}

void tst_App::reportText()
{
    QFETCH(int, code);
    QFETCH(QString, description);
    QFETCH(QString, text);
    QFETCH(QString, line);
    const AutomationError error(code, description.toStdString());
    QCOMPARE(runtimeErrorText(error), text);
    QCOMPARE(QString::fromStdString(runtimeErrorLine(error)), line);
}

void tst_App::waysOutEndWithStatus0AndReleaseTheCard_data()
{
    QTest::addColumn<QString>("way");
    QTest::addColumn<bool>("polling");

    for (const char *way : {"Exit", "close", "False selection"}) {
        QTest::addRow("%s, idle", way) << way << false;
        QTest::addRow("%s, polling", way) << way << true;
    }
}

void tst_App::waysOutEndWithStatus0AndReleaseTheCard()
{
    QFETCH(QString, way);
    QFETCH(bool, polling);

    FakeCard::Log log;
    auto card = std::make_unique<FakeCard>("card", log);
    card->selectAnswer = DispatchOutcome::success(AutomationValue::boolean(false));
    std::size_t readsBefore = 0;
    const int status = runWith(std::move(card), [&](MonitorWindow &window) {
        if (polling) {
            click(window, "Initcmd");
            QTRY_VERIFY(log.reads.size() >= 2);
        }
        readsBefore = log.reads.size();
        if (way == "Exit")
            click(window, "Exit");
        else if (way == "close")
            window.close();
        else
            click(window, "Selectcmd");
    });
    QCOMPARE(status, 0);
    QCOMPARE(log.opens, 1);
    QCOMPARE(log.closes, 1);
    QCOMPARE(log.reads.size(), readsBefore); // nothing reached the card on the way out
    QVERIFY(reportsShown().isEmpty());
}

void tst_App::errorIsReportedOnceThenEndsWithStatus1_data()
{
    QTest::addColumn<QString>("failing");
    QTest::newRow("ConfigurePorts") << "configure";
    QTest::newRow("ReadPort while polling") << "read";
}

void tst_App::errorIsReportedOnceThenEndsWithStatus1()
{
    QFETCH(QString, failing);

    FakeCard::Log log;
    auto card = std::make_unique<FakeCard>("card", log);
    const auto failure = DispatchOutcome::failure(57, "card gone");
    if (failing == "configure")
        card->configureAnswer = failure;
    else
        card->readAnswer = failure;
    QString text;
    int boxesAtOnce = 0;
    const int status = runWith(std::move(card), [&](MonitorWindow &window) {
        // The report is modal and waits inside the click: look at it from a timer.
        QTimer::singleShot(350, [&] {
            const QList<QMessageBox *> boxes = reportsShown();
            boxesAtOnce = int(boxes.size());
            if (boxes.isEmpty())
                return;
            text = boxes.front()->text();
            QCOMPARE(boxes.front()->windowTitle(), QString("Velmora"));
            boxes.front()->button(QMessageBox::Ok)->click();
        });
        click(window, "Initcmd");
    });
    QCOMPARE(status, 1);
    QCOMPARE(boxesAtOnce, 1); // ticks went on while the box waited, but stacked none behind it
    QCOMPARE(text, QString("Run-time error '57':\n\ncard gone"));
    // A failing ConfigurePorts never started polling; a failing tick was the last read.
    QCOMPARE(log.reads.size(), failing == "read" ? 1u : 0u);
    QCOMPARE(log.closes, 1);
}

void tst_App::pollingGoesOnWhileChoosingThenFollowsTheNewCard()
{
    FakeCard::Log oldLog, newLog;
    auto current = std::make_unique<FakeCard>("Old card", oldLog);
    current->portValue = 0x01;
    PreparedCards catalog;
    catalog.prepared.push_back({{"Old card", "fake", "nowhere"}, true, "Ready", {}, {}});
    catalog.prepared.push_back({{"New card", "fake", "nowhere"}, true, "Ready", {}, [&] {
                                    auto card = std::make_unique<FakeCard>("New card", newLog);
                                    card->portValue = 0x80;
                                    return card;
                                }});
    std::size_t oldReadsWhileOpen = 0;
    bool inputBlocked = false;
    QString caption;
    QList<int> lit;
    const int status = runWith(
        std::move(current),
        [&](MonitorWindow &window) {
            click(window, "Initcmd");
            QTimer::singleShot(50, [&] {
                auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
                QVERIFY(dialog);
                const std::size_t before = oldLog.reads.size();
                QTRY_VERIFY_WITH_TIMEOUT(oldLog.reads.size() >= before + 4, 5000);
                oldReadsWhileOpen = oldLog.reads.size() - before;
                inputBlocked = QApplication::activeModalWidget() == dialog;
                auto *cards = dialog->findChild<QTreeWidget *>("cards");
                QVERIFY(cards);
                cards->setCurrentItem(cards->topLevelItem(1));
                dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
            });
            click(window, "Selectcmd"); // returns when the dialog is done
            caption = window.deviceControlHost().cardName();
            QTRY_VERIFY(newLog.reads.size() >= 2);
            for (int i = 0; i < 16; ++i)
                if (window.btnInput(i).value())
                    lit << i;
            click(window, "Exit");
        },
        &catalog);
    QCOMPARE(status, 0);
    QVERIFY(oldReadsWhileOpen >= 4); // two reads a tick went on against the old card
    QVERIFY(inputBlocked);
    QCOMPARE(caption, QString("New card"));
    QCOMPARE(lit, (QList<int>{7, 15}));
    QCOMPARE(oldLog.closes, 1);
    QCOMPARE(newLog.opens, 1);
    QCOMPARE(newLog.closes, 1);
}

void tst_App::noDisplayIsOneLineAndStatus2()
{
    const QString program = qEnvironmentVariable("VELMORA_BINARY");
    QVERIFY2(QFileInfo::exists(program), "VELMORA_BINARY names no program");
    QProcess velmora;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(name);
    velmora.setProcessEnvironment(environment);
    velmora.start(program, {});
    QVERIFY(velmora.waitForFinished(20000));
    QCOMPARE(velmora.exitStatus(), QProcess::NormalExit); // no abort, no core
    QCOMPARE(velmora.exitCode(), 2);
    const QString err = QString::fromLocal8Bit(velmora.readAllStandardError());
    QCOMPARE(err.count('\n'), 1);
    QVERIFY2(err.contains("display"), qPrintable(err));
}

void tst_App::terminationSignalEndsLikeExit_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("choosing");

    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        QTest::addRow("%s, polling", strsignal(signal)) << signal << false;
        QTest::addRow("%s, selection dialog open", strsignal(signal)) << signal << true;
    }
}

// Sent to this process while the window polls (or while the selection dialog waits inside
// "Select Device"): the program must end as "Exit" ends it, the card released, instead of
// dying by the signal's default action.
void tst_App::terminationSignalEndsLikeExit()
{
    QFETCH(int, signal);
    QFETCH(bool, choosing);

    FakeCard::Log log;
    PreparedCards catalog;
    catalog.prepared.push_back({{"card", "fake", "nowhere"}, true, "Ready", {}, {}});
    TerminationSignals terminations;
    bool dialogWasOpen = false;
    const int status = runWith(
        std::make_unique<FakeCard>("card", log),
        [&](MonitorWindow &window) {
            click(window, "Initcmd");
            QTRY_VERIFY(log.reads.size() >= 2);
            if (choosing) {
                QTimer::singleShot(50, [&] {
                    dialogWasOpen = QApplication::activeModalWidget() != nullptr;
                    ::raise(signal);
                });
                click(window, "Selectcmd");
            } else {
                ::raise(signal);
            }
        },
        &catalog, &terminations);
    QCOMPARE(status, 128 + signal);
    QCOMPARE(terminations.caught(), signal);
    QCOMPARE(dialogWasOpen, choosing);
    QCOMPARE(log.closes, 1);
    QVERIFY(reportsShown().isEmpty());
}

void tst_App::terminationSignalEndsTheProcessByThatSignal()
{
    const QString program = qEnvironmentVariable("VELMORA_BINARY");
    QVERIFY2(QFileInfo::exists(program), "VELMORA_BINARY names no program");
    QTemporaryDir runtime;
    QProcess velmora;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", runtime.path());
    velmora.setProcessEnvironment(environment);
    velmora.start(program, {});
    QVERIFY(velmora.waitForStarted(20000));
    // The state file appears once the card has been opened, which is after the handlers are in.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(runtime.path() + "/velmora/simcard"), 20000);
    ::kill(pid_t(velmora.processId()), SIGTERM);
    QVERIFY(velmora.waitForFinished(20000));
    // Ended by the signal, after an orderly shutdown: no report, and the shell says 143.
    QCOMPARE(velmora.exitStatus(), QProcess::CrashExit);
    QCOMPARE(velmora.exitCode(), SIGTERM);
    QCOMPARE(velmora.readAllStandardError(), QByteArray());
}

void tst_App::helpAndVersionNeedNoDisplay_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out"); // what standard output starts with

    QTest::newRow("--help") << QStringList{"--help"} << 0 << "usage: velmora";
    QTest::newRow("-h") << QStringList{"-h"} << 0 << "usage: velmora";
    QTest::newRow("--version") << QStringList{"--version"} << 0 << "velmora 1.00\n";
    QTest::newRow("after an ignored argument")
        << QStringList{"--frobnicate", "--version"} << 0 << "velmora 1.00\n";
    // Anything else is ignored: the program goes on to open its window, and finds no display.
    QTest::newRow("other arguments") << QStringList{"--frobnicate", "now"} << 2 << QString();
}

void tst_App::helpAndVersionNeedNoDisplay()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, out);

    const QString program = qEnvironmentVariable("VELMORA_BINARY");
    QVERIFY2(QFileInfo::exists(program), "VELMORA_BINARY names no program");
    QProcess velmora;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(name);
    velmora.setProcessEnvironment(environment);
    velmora.start(program, arguments);
    QVERIFY(velmora.waitForFinished(20000));
    QCOMPARE(velmora.exitStatus(), QProcess::NormalExit);
    QCOMPARE(velmora.exitCode(), status);
    const QString printed = QString::fromLocal8Bit(velmora.readAllStandardOutput());
    QVERIFY2(printed.startsWith(out), qPrintable(printed));
    if (status == 0)
        QCOMPARE(QString::fromLocal8Bit(velmora.readAllStandardError()), QString());
}

void tst_App::iconIsBuiltIn()
{
    // No icon theme here has the program's icon: the sizes built into the program stand in.
    const QIcon icon = velmoraIcon();
    QVERIFY(!icon.isNull());
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        const QPixmap pixmap = icon.pixmap(QSize(size, size));
        QCOMPARE(pixmap.size(), QSize(size, size));
        QVERIFY(pixmap.toImage().pixelColor(size / 2, size / 2).alpha() > 0); // drawn, not blank
    }
}

QTEST_MAIN(tst_App)
#include "tst_app.moc"
