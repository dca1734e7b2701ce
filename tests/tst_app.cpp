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

// Offers the cards a test prepares; each made card is a FakeCard writing to `log`.
class PreparedCards final : public CardCatalog {
public:
    std::vector<CardOffer> prepared;
    std::vector<CardOffer> offers() override { return prepared; }
    void add(const std::string &name, FakeCard::Log *log = nullptr, std::int16_t port = 0x5A,
             bool usable = true, std::string status = "Ready", std::string fix = {})
    {
        std::function<std::unique_ptr<Card>()> make;
        if (log)
            make = [name, log, port] {
                auto card = std::make_unique<FakeCard>(name, *log);
                card->portValue = port;
                return card;
            };
        prepared.push_back({{name, "fake", "nowhere"}, usable, status, fix, make});
    }
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

// Once "Select Device" has opened its dialog: `look` at it, then choose `row` with OK.
void chooseInDialog(
    int row, std::function<void()> look = [] {})
{
    QTimer::singleShot(50, [row, look] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        look();
        auto *cards = dialog->findChild<QTreeWidget *>("cards");
        QVERIFY(cards);
        cards->setCurrentItem(cards->topLevelItem(row));
        dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
    });
}

// The program started as the user starts it, with `environment` changed by `edit`.
void start(QProcess &velmora, const QStringList &arguments,
           const std::function<void(QProcessEnvironment &)> &edit)
{
    const QString program = qEnvironmentVariable("VELMORA_BINARY");
    QVERIFY2(QFileInfo::exists(program), "VELMORA_BINARY names no program");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    edit(environment);
    velmora.setProcessEnvironment(environment);
    velmora.start(program, arguments);
    QVERIFY(velmora.waitForStarted(20000));
}

} // namespace

class tst_App final : public QObject {
    Q_OBJECT

private slots:
    void reportText_data();
    void reportText();
    void waysOutReleaseTheCard_data();
    void waysOutReleaseTheCard();
    void errorIsReportedOnceThenEndsWithStatus1_data();
    void errorIsReportedOnceThenEndsWithStatus1();
    void pollingGoesOnWhileChoosingThenFollowsTheNewCard();
    void cardThatCannotBeOpenedNeverKeepsTheUserFromTheList_data();
    void cardThatCannotBeOpenedNeverKeepsTheUserFromTheList();
    void terminationSignalEndsTheProcessByThatSignal();
    void terminationSignalsPutBackTheHandlersBefore_data();
    void terminationSignalsPutBackTheHandlersBefore();
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

void tst_App::waysOutReleaseTheCard_data()
{
    QTest::addColumn<QString>("way");
    QTest::addColumn<bool>("polling");
    QTest::addColumn<int>("status"); // 128 + n: ended by signal n, as "Exit" ends it

    for (const char *way : {"Exit", "close", "False selection"}) {
        QTest::addRow("%s, idle", way) << way << false << 0;
        QTest::addRow("%s, polling", way) << way << true << 0;
    }
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        QTest::addRow("%s, polling", strsignal(signal)) << "signal" << true << 128 + signal;
        QTest::addRow("%s, selection dialog open", strsignal(signal))
            << "signal while choosing" << true << 128 + signal;
    }
}

void tst_App::waysOutReleaseTheCard()
{
    QFETCH(QString, way);
    QFETCH(bool, polling);
    QFETCH(int, status);
    const int signal = status > 128 ? status - 128 : 0;

    FakeCard::Log log;
    auto card = std::make_unique<FakeCard>("card", log);
    if (way == "False selection")
        card->selectAnswer = DispatchOutcome::success(AutomationValue::boolean(false));
    PreparedCards catalog;
    catalog.add("card");
    TerminationSignals terminations;
    std::size_t readsBefore = 0;
    bool dialogWasOpen = false;
    const int ended = runWith(
        std::move(card),
        [&](MonitorWindow &window) {
            if (polling) {
                click(window, "Initcmd");
                QTRY_VERIFY(log.reads.size() >= 2);
            }
            readsBefore = log.reads.size();
            if (way == "Exit")
                click(window, "Exit");
            else if (way == "close")
                window.close();
            else if (way == "signal")
                ::raise(signal);
            if (way == "signal while choosing")
                QTimer::singleShot(50, [&] {
                    dialogWasOpen = QApplication::activeModalWidget() != nullptr;
                    ::raise(signal);
                });
            if (way.startsWith("False") || way.endsWith("choosing"))
                click(window, "Selectcmd");
        },
        &catalog, &terminations);
    QCOMPARE(ended, status);
    QCOMPARE(terminations.caught(), signal);
    QCOMPARE(dialogWasOpen, way.endsWith("choosing"));
    QCOMPARE(log.opens, 1);
    QCOMPARE(log.closes, 1);
    if (signal == 0)
        QCOMPARE(log.reads.size(), readsBefore); // nothing reached the card on the way out
    QVERIFY(reportsShown().isEmpty());
}

void tst_App::errorIsReportedOnceThenEndsWithStatus1_data()
{
    QTest::addColumn<QString>("failing");
    QTest::addColumn<QString>("text");

    const QString gone = "Run-time error '57':\n\ncard gone";
    const QString crashed = "Run-time error '51':\n\nInternal error: the card's driver crashed";
    QTest::newRow("ConfigurePorts fails") << "configure" << gone;
    QTest::newRow("ReadPort fails while polling") << "read" << gone;
    QTest::newRow("exception from the tick") << "tick throws" << crashed;
    // Escaping a click while polling, with every read failing behind it: still one report.
    QTest::newRow("exception from a click, failures behind") << "click throws" << crashed;
}

void tst_App::errorIsReportedOnceThenEndsWithStatus1()
{
    QFETCH(QString, failing);
    QFETCH(QString, text);

    FakeCard::Log log;
    auto card = std::make_unique<FakeCard>("card", log);
    FakeCard *fake = card.get();
    const auto failure = DispatchOutcome::failure(57, "card gone");
    if (failing == "configure")
        card->configureAnswer = failure;
    else if (failing == "read")
        card->readAnswer = failure;
    else if (failing == "tick throws")
        card->throwingReads = 1000;
    QString shown;
    int boxesAtOnce = 0;
    int samples = 0;
    std::size_t readsAtReport = 0;
    const int status = runWith(std::move(card), [&](MonitorWindow &window) {
        // The report is modal and waits inside the click or the tick: watch it from a timer
        // for three ticks' time before dismissing it, so that a box stacked behind it shows.
        auto *watch = new QTimer(&window);
        QObject::connect(watch, &QTimer::timeout, [&, watch] {
            const QList<QMessageBox *> boxes = reportsShown();
            boxesAtOnce = std::max(boxesAtOnce, int(boxes.size()));
            if (boxes.isEmpty() || ++samples < 6) {
                readsAtReport = log.reads.size();
                return;
            }
            watch->stop();
            shown = boxes.back()->text();
            QCOMPARE(boxes.back()->windowTitle(), QString("Velmora"));
            for (QMessageBox *box : boxes)
                box->button(QMessageBox::Ok)->click();
        });
        watch->start(50);
        click(window, "Initcmd");
        if (failing != "click throws")
            return;
        QTRY_VERIFY(log.reads.size() >= 2);
        fake->throwOnConfigure = true;
        fake->readAnswer = failure;
        click(window, "Initcmd");
    });
    QCOMPARE(status, 1);
    QCOMPARE(boxesAtOnce, 1);
    QCOMPARE(shown, text);
    QCOMPARE(log.reads.size(), readsAtReport); // no tick reached the card behind the report
    if (failing == "configure")
        QVERIFY(log.reads.empty()); // polling never started
    QCOMPARE(log.closes, 1);
}

void tst_App::pollingGoesOnWhileChoosingThenFollowsTheNewCard()
{
    FakeCard::Log oldLog, newLog;
    auto current = std::make_unique<FakeCard>("Old card", oldLog);
    current->portValue = 0x01;
    PreparedCards catalog;
    catalog.add("Old card");
    catalog.add("New card", &newLog, 0x80);
    std::size_t oldReadsWhileOpen = 0;
    bool inputBlocked = false;
    QString caption;
    QList<int> lit;
    const int status = runWith(
        std::move(current),
        [&](MonitorWindow &window) {
            click(window, "Initcmd");
            chooseInDialog(1, [&] {
                QWidget *dialog = QApplication::activeModalWidget();
                const std::size_t before = oldLog.reads.size();
                QTRY_VERIFY_WITH_TIMEOUT(oldLog.reads.size() >= before + 4, 5000);
                oldReadsWhileOpen = oldLog.reads.size() - before;
                inputBlocked = QApplication::activeModalWidget() == dialog;
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

void tst_App::cardThatCannotBeOpenedNeverKeepsTheUserFromTheList_data()
{
    QTest::addColumn<int>("row"); // chosen in the list
    QTest::addColumn<QString>("polled");

    QTest::newRow("another card") << 1 << "Other card";
    QTest::newRow("the same card, fixed meanwhile") << 0 << "Broken card";
}

void tst_App::cardThatCannotBeOpenedNeverKeepsTheUserFromTheList()
{
    QFETCH(int, row);
    QFETCH(QString, polled);

    // The simulated card with a corrupt state file, as the program starts with it.
    FakeCard::Log brokenLog, freshLog, otherLog;
    auto broken = std::make_unique<FakeCard>("Broken card", brokenLog);
    broken->openStatus = DispatchStatus::failure(57, "corrupt; run 'velmora-sim reset'");
    broken->selectAnswer = DispatchOutcome::failure(57, "corrupt; run 'velmora-sim reset'");
    PreparedCards catalog;
    catalog.add("Broken card", &freshLog, 0x5A, false, "corrupt", "run 'velmora-sim reset'");
    catalog.add("Other card", &otherLog);
    bool listShown = false;
    bool reportShown = false;
    QString caption;
    const int status = runWith(
        std::move(broken),
        [&](MonitorWindow &window) {
            chooseInDialog(row, [&] {
                reportShown = !reportsShown().isEmpty();
                listShown = true;
            });
            click(window, "Selectcmd");
            caption = window.deviceControlHost().cardName();
            click(window, "Initcmd");
            QTRY_VERIFY(freshLog.reads.size() + otherLog.reads.size() >= 2);
            click(window, "Exit");
        },
        &catalog);
    QCOMPARE(status, 0);
    QVERIFY(listShown);
    QVERIFY(!reportShown && reportsShown().isEmpty());
    QCOMPARE(caption, polled);
    QVERIFY(brokenLog.reads.empty());
    QCOMPARE(brokenLog.closes, 0); // it never opened
}

void tst_App::terminationSignalEndsTheProcessByThatSignal()
{
    QTemporaryDir runtime;
    QProcess velmora;
    start(velmora, {},
          [&](QProcessEnvironment &env) { env.insert("XDG_RUNTIME_DIR", runtime.path()); });
    if (QTest::currentTestFailed())
        return;
    // The state file appears once the card has been opened, which is after the handlers are in.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(runtime.path() + "/velmora/simcard"), 20000);
    ::kill(pid_t(velmora.processId()), SIGTERM);
    QVERIFY(velmora.waitForFinished(20000));
    // Ended by the signal, after an orderly shutdown: no report, and the shell says 143.
    QCOMPARE(velmora.exitStatus(), QProcess::CrashExit);
    QCOMPARE(velmora.exitCode(), SIGTERM);
    QCOMPARE(velmora.readAllStandardError(), QByteArray());
}

void tst_App::terminationSignalsPutBackTheHandlersBefore_data()
{
    QTest::addColumn<int>("signal");

    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        QTest::newRow(strsignal(signal)) << signal;
}

void tst_App::terminationSignalsPutBackTheHandlersBefore()
{
    QFETCH(int, signal);

    const auto handler = [signal] {
        struct sigaction now {};
        ::sigaction(signal, nullptr, &now);
        return now.sa_handler;
    };
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    QCOMPARE(::sigaction(signal, &ignore, nullptr), 0);
    const auto restore = qScopeGuard([signal] { ::signal(signal, SIG_DFL); });
    {
        TerminationSignals terminations;
        QVERIFY(handler() != SIG_IGN && handler() != SIG_DFL);
    }
    QVERIFY(handler() == SIG_IGN);
}

// Without a display: --help and --version answer; anything else is ignored, and the window
// finds no display: one line and status 2, never an abort or a core.
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
    QTest::newRow("no arguments") << QStringList{} << 2 << QString();
    QTest::newRow("other arguments") << QStringList{"--frobnicate", "now"} << 2 << QString();
}

void tst_App::helpAndVersionNeedNoDisplay()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, out);

    QProcess velmora;
    start(velmora, arguments, [](QProcessEnvironment &env) {
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
    });
    QVERIFY(!QTest::currentTestFailed() && velmora.waitForFinished(20000));
    QCOMPARE(velmora.exitStatus(), QProcess::NormalExit);
    QCOMPARE(velmora.exitCode(), status);
    const QString printed = QString::fromLocal8Bit(velmora.readAllStandardOutput());
    QVERIFY2(printed.startsWith(out), qPrintable(printed));
    const QString err = QString::fromLocal8Bit(velmora.readAllStandardError());
    if (status == 0) {
        QCOMPARE(err, QString());
    } else {
        QCOMPARE(err.count('\n'), 1);
        QVERIFY2(err.contains("display"), qPrintable(err));
    }
}

void tst_App::iconIsBuiltIn()
{
    // No icon theme here has the program's icon: the sizes built into the program stand in.
    const QIcon icon = velmoraIcon();
    QVERIFY(!icon.isNull());
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        // Each size drawn for it, not scaled from another.
        const QImage drawn(QStringLiteral(":/icons/io.velmora.Velmora-%1.png").arg(size));
        QCOMPARE(drawn.size(), QSize(size, size));
        QVERIFY(drawn.pixelColor(size / 2, size / 2).alpha() > 0); // drawn, not blank
        QCOMPARE(icon.pixmap(QSize(size, size))
                     .toImage()
                     .convertToFormat(QImage::Format_ARGB32_Premultiplied),
                 drawn.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    }
}

// The program's own application object, so that what escapes a handler meets its top level.
int main(int argc, char *argv[])
{
    VelmoraApplication app(argc, argv);
    tst_App test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_app.moc"
