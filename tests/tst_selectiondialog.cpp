#include "cards/card_catalog.h"
#include "device_selection_dialog.h"
#include "fakes.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

using namespace velmora;
using velmora::testing::FakeCard;

namespace {

using Column = DeviceSelectionDialog::Column;

enum Row { Simulated, Comedi, Gpio, Busy, Missing, RowCount };

// What a placed dialog leaves uncovered.
enum Clear { OfWindow, OfIndicators, OfNothing };

// The rows every test sees: usable, unusable with a fix, usable, failing to open, unusable
// without a fix.
class FakeCatalog final : public CardCatalog {
public:
    explicit FakeCatalog(FakeCard::Log &log)
        : m_log(log)
    {}

    int asked = 0;
    int made = 0;
    bool comediPermitted = false; // the user has been given the permission meanwhile

    std::vector<CardOffer> offers() override
    {
        ++asked;
        std::vector<CardOffer> offers;
        offers.push_back(offer({"Simulated card", "simulated 8255", "built in"}, "Ready"));
        const CardInfo comedi{"PCI-DIO24 (8255_pci) /dev/comedi0, subdevice 0", "comedi DIO",
                              "/dev/comedi0"};
        offers.push_back(comediPermitted
                             ? offer(comedi, "Ready")
                             : unusable(comedi, "Permission denied",
                                        "add your user to the group 'iocard' and log in again"));
        offers.push_back(
            offer({"gpiochip0 [pinctrl-bcm2711]", "GPIO chip", "/dev/gpiochip0"}, "Ready"));
        offers.push_back(offer({"Busy board", "comedi DIO", "/dev/comedi1"}, "Ready",
                               DispatchStatus::failure(16, "Device or resource busy")));
        offers.push_back(unusable({"Gone board", "comedi DIO", "/dev/comedi2"}, "No such device"));
        return offers;
    }

    static CardInfo info(Row row)
    {
        FakeCard::Log log;
        FakeCatalog catalog(log);
        return catalog.offers().at(row).info;
    }

    // A row's columns as the list shows them, '|' between.
    static QString joined(Row row, const char *status)
    {
        const CardInfo card = info(row);
        return QString::fromStdString(card.name + '|' + card.kind + '|' + card.location + '|') +
               status;
    }

private:
    CardOffer offer(CardInfo info, std::string status,
                    DispatchStatus openStatus = DispatchStatus::success())
    {
        CardOffer result{info, true, std::move(status), {}, {}};
        result.make = [this, info, openStatus] {
            ++made;
            auto card = std::make_unique<FakeCard>(info.name, m_log);
            card->openStatus = openStatus;
            return card;
        };
        return result;
    }

    CardOffer unusable(CardInfo info, std::string reason, std::string fix = {})
    {
        // Like a real card kind's row for a node it could not open: nothing to make.
        return CardOffer{std::move(info), false, std::move(reason), std::move(fix), {}};
    }

    FakeCard::Log &m_log;
};

} // namespace

Q_DECLARE_METATYPE(velmora::CardInfo)
Q_DECLARE_METATYPE(velmora::CardChoice::Outcome)

class tst_SelectionDialog final : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void rowsShowTheOffers_data();
    void rowsShowTheOffers();
    void currentCardIsHighlightedOnOpen_data();
    void currentCardIsHighlightedOnOpen();
    void ok_data();
    void ok();
    void failedOpenLeavesTheDialogUsable();
    void dismissing_data();
    void dismissing();
    void doubleClickChooses_data();
    void doubleClickChooses();
    void messageLeavesTheListAndSelectionInView_data();
    void messageLeavesTheListAndSelectionInView();
    void placedClearOfTheWindow_data();
    void placedClearOfTheWindow();
    void selectorRunsTheDialogOverTheWindow_data();
    void selectorRunsTheDialogOverTheWindow();
    void brokenCardIsOpenedAfreshWhenChosen_data();
    void brokenCardIsOpenedAfreshWhenChosen();
    void rescanListsTheCardsAgainWithoutClosing_data();
    void rescanListsTheCardsAgainWithoutClosing();
    void warningReadableOnLightAndDarkLists_data();
    void warningReadableOnLightAndDarkLists();

private:
    void open(const CardInfo &current);
    QTreeWidget *cards() const { return m_dialog->findChild<QTreeWidget *>("cards"); }
    QLabel *label(const char *name) const { return m_dialog->findChild<QLabel *>(name); }
    QPushButton *button(QDialogButtonBox::StandardButton which) const
    {
        return m_dialog->findChild<QDialogButtonBox *>()->button(which);
    }
    void select(int row) const { cards()->setCurrentItem(cards()->topLevelItem(row)); }

    FakeCard::Log m_log;
    std::unique_ptr<FakeCatalog> m_catalog;
    std::unique_ptr<DeviceSelectionDialog> m_dialog;
};

void tst_SelectionDialog::init()
{
    m_log = {};
    m_catalog = std::make_unique<FakeCatalog>(m_log);
    open(FakeCatalog::info(Simulated));
}

void tst_SelectionDialog::cleanup()
{
    m_dialog.reset();
    m_catalog.reset();
}

void tst_SelectionDialog::open(const CardInfo &current)
{
    m_dialog = std::make_unique<DeviceSelectionDialog>(m_catalog->offers(), current);
    m_catalog->asked = 0;
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
}

void tst_SelectionDialog::rowsShowTheOffers_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("columns"); // name|kind|where|status
    QTest::addColumn<QString>("fix");     // unusable rows only; "-": none known

    const QString permission = "add your user to the group 'iocard' and log in again";
    QTest::newRow("current") << int(Simulated)
                             << "Simulated card (current)|simulated 8255|built in|Ready"
                             << QString();
    QTest::newRow("no permission")
        << int(Comedi) << FakeCatalog::joined(Comedi, "Permission denied") << permission;
    QTest::newRow("GPIO chip") << int(Gpio) << FakeCatalog::joined(Gpio, "Ready") << QString();
    QTest::newRow("gone, no fix") << int(Missing) << FakeCatalog::joined(Missing, "No such device")
                                  << "-";
}

void tst_SelectionDialog::rowsShowTheOffers()
{
    QFETCH(int, row);
    QFETCH(QString, columns);
    QFETCH(QString, fix);
    const QStringList texts = columns.split('|');

    QCOMPARE(m_dialog->windowTitle(), QString("Select Device"));
    QCOMPARE(cards()->topLevelItemCount(), int(RowCount));
    const QTreeWidgetItem *item = cards()->topLevelItem(row);
    QCOMPARE(texts.size(), int(Column::ColumnCount));
    for (int column = 0; column < Column::ColumnCount; ++column)
        QCOMPARE(item->text(column), texts.at(column));
    const QString plainName = QString::fromStdString(FakeCatalog::info(Row(row)).name);
    QVERIFY(
        item->data(Column::NameColumn, Qt::AccessibleTextRole).toString().startsWith(plainName));
    // Every column whole at the size the dialog opens with.
    const QAbstractItemView &view = *cards();
    for (int column = 0; column < Column::ColumnCount; ++column)
        QVERIFY2(cards()->columnWidth(column) >= view.sizeHintForColumn(column),
                 qPrintable(QString("column %1 is cut").arg(column)));

    // An unusable row is selectable, so that its reason and fix can be read, and stands out.
    select(row);
    QVERIFY(item->isSelected() && button(QDialogButtonBox::Ok)->isEnabled());
    const QString details = label("details")->text();
    const QString reason = texts.last();
    QVERIFY2(details.contains(reason) && item->toolTip(Column::NameColumn).contains(reason),
             qPrintable(details));
    const QTreeWidgetItem *ready = cards()->topLevelItem(Gpio);
    QCOMPARE(item->foreground(Column::StatusColumn) != ready->foreground(Column::StatusColumn),
             !fix.isEmpty());
    if (fix.isEmpty())
        return;
    QVERIFY2(details.contains("Cannot be opened: " + reason), qPrintable(details));
    QCOMPARE(details.contains("fix", Qt::CaseInsensitive), fix != "-");
    if (fix != "-")
        QVERIFY2(details.contains(fix) && item->toolTip(Column::NameColumn).contains(fix),
                 qPrintable(details));
}

void tst_SelectionDialog::currentCardIsHighlightedOnOpen_data()
{
    QTest::addColumn<CardInfo>("current");
    QTest::addColumn<int>("row"); // -1: none

    QTest::newRow("first row") << FakeCatalog::info(Simulated) << int(Simulated);
    QTest::newRow("later row") << FakeCatalog::info(Gpio) << int(Gpio);
    QTest::newRow("unusable now") << FakeCatalog::info(Comedi) << int(Comedi);
    QTest::newRow("same name, other place")
        << CardInfo{"gpiochip0 [pinctrl-bcm2711]", "GPIO chip", "/dev/gpiochip1"} << -1;
    QTest::newRow("not offered") << CardInfo{"Unplugged", "comedi DIO", "/dev/comedi9"} << -1;
}

void tst_SelectionDialog::currentCardIsHighlightedOnOpen()
{
    QFETCH(CardInfo, current);
    QFETCH(int, row);

    open(current);
    const QList<QTreeWidgetItem *> selected = cards()->selectedItems();
    QCOMPARE(selected.size(), row < 0 ? 0 : 1);
    QCOMPARE(button(QDialogButtonBox::Ok)->isEnabled(), row >= 0);
    for (int i = 0; i < cards()->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *item = cards()->topLevelItem(i);
        const bool isCurrent = i == row;
        QCOMPARE(item->isSelected(), isCurrent);
        QCOMPARE(item->font(Column::NameColumn).bold(), isCurrent);
        QCOMPARE(item->text(Column::NameColumn).endsWith("(current)"), isCurrent);
    }
    if (row >= 0)
        return;
    // OK needs a selection; so does choosing as OK would.
    m_dialog->chooseSelected();
    QVERIFY(m_dialog->isVisible() &&
            m_dialog->takeChoice().outcome == CardChoice::Outcome::Cancelled);
    select(Gpio);
    QVERIFY(button(QDialogButtonBox::Ok)->isEnabled());
}

void tst_SelectionDialog::ok_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<CardChoice::Outcome>("outcome"); // Cancelled: the dialog stays open
    QTest::addColumn<int>("opens");
    QTest::addColumn<QStringList>("message");

    using Outcome = CardChoice::Outcome;
    QTest::newRow("current card") << int(Simulated) << Outcome::KeepCurrent << 0 << QStringList();
    QTest::newRow("another usable card") << int(Gpio) << Outcome::Replace << 1 << QStringList();
    QTest::newRow("open fails") << int(Busy) << Outcome::Cancelled << 1
                                << QStringList{"Cannot open Busy board: Device or resource busy"};
    QTest::newRow("unusable, with fix")
        << int(Comedi) << Outcome::Cancelled << 0
        << QStringList{"PCI-DIO24 (8255_pci) /dev/comedi0, subdevice 0", "Permission denied"};
    QTest::newRow("unusable, no fix")
        << int(Missing) << Outcome::Cancelled << 0 << QStringList{"Gone board", "No such device"};
}

void tst_SelectionDialog::ok()
{
    QFETCH(int, row);
    QFETCH(CardChoice::Outcome, outcome);
    QFETCH(int, opens);
    QFETCH(QStringList, message);

    select(row);
    QVERIFY(label("message")->text().isEmpty());
    button(QDialogButtonBox::Ok)->click();

    const bool stays = outcome == CardChoice::Outcome::Cancelled;
    QCOMPARE(m_dialog->isVisible(), stays);
    QCOMPARE(m_dialog->result(), stays ? int(QDialog::Rejected) : int(QDialog::Accepted));
    QCOMPARE(m_log.opens, opens);
    QCOMPARE(m_log.closes, 0);
    QCOMPARE(m_catalog->made, opens); // made only to be opened, and only if usable

    QLabel *shown = label("message");
    QCOMPARE(shown->isVisible(), !message.isEmpty());
    for (const QString &part : message)
        QVERIFY2(shown->text().contains(part), qPrintable(shown->text()));
    // The fix stands once, in the details just above the message.
    const QString fix = QString::fromStdString(m_catalog->offers().at(row).fix);
    if (!fix.isEmpty() && stays) {
        QVERIFY(label("details")->text().contains(fix));
        QVERIFY2(!shown->text().contains(fix), qPrintable(shown->text()));
    }

    CardChoice choice = m_dialog->takeChoice();
    QCOMPARE(choice.outcome, outcome);
    QCOMPARE(bool(choice.card), outcome == CardChoice::Outcome::Replace);
    if (choice.card)
        QCOMPARE(choice.card->info().name, FakeCatalog::info(Row(row)).name);
}

void tst_SelectionDialog::failedOpenLeavesTheDialogUsable()
{
    select(Busy);
    button(QDialogButtonBox::Ok)->click();
    QVERIFY(label("message")->isVisible());

    select(Gpio); // the old failure is not about this card
    QVERIFY(!label("message")->isVisible());
    button(QDialogButtonBox::Ok)->click();
    QVERIFY(!m_dialog->isVisible());
    QCOMPARE(m_dialog->result(), int(QDialog::Accepted));
    QCOMPARE(m_log.opens, 2);
    QCOMPARE(m_log.closes, 0);
    m_dialog.reset(); // nobody took the card it opened: it must not stay open
    QCOMPARE(m_log.closes, 1);
}

void tst_SelectionDialog::messageLeavesTheListAndSelectionInView_data()
{
    QTest::addColumn<qreal>("points");
    QTest::addColumn<int>("row");

    for (const qreal points : {9.0, 11.0, 12.0}) {
        QTest::addRow("%g pt, unusable with fix", points) << points << int(Comedi);
        QTest::addRow("%g pt, open fails, last rows", points) << points << int(Missing);
    }
}

void tst_SelectionDialog::messageLeavesTheListAndSelectionInView()
{
    QFETCH(qreal, points);
    QFETCH(int, row);

    const QFont defaultFont = QApplication::font();
    const auto restore = qScopeGuard([&] { QApplication::setFont(defaultFont); });
    QFont font = defaultFont;
    font.setPointSizeF(points);
    QApplication::setFont(font);
    open(FakeCatalog::info(Simulated));
    // As small as the user may drag it, so that the message has to find room somewhere.
    m_dialog->resize(m_dialog->minimumSize());

    select(row);
    button(QDialogButtonBox::Ok)->click();
    QVERIFY(label("message")->isVisible());
    QApplication::processEvents(); // the layout settles

    // Every row of the list still shows, the selected one among them, and the message whole.
    const QRect viewport = cards()->viewport()->rect();
    for (int i = 0; i < cards()->topLevelItemCount(); ++i) {
        const QRect item = cards()->visualItemRect(cards()->topLevelItem(i));
        // Rows, that is: on a small screen the columns may still scroll sideways.
        QVERIFY2(item.top() >= viewport.top() && item.bottom() <= viewport.bottom(),
                 qPrintable(QString("row %1 out of view").arg(i)));
    }
    QLabel *message = label("message");
    QVERIFY(message->height() >= message->heightForWidth(message->width()));
}

void tst_SelectionDialog::placedClearOfTheWindow_data()
{
    QTest::addColumn<QRect>("owner");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QSize>("minimum");
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<int>("clear");      // what the dialog leaves uncovered
    QTest::addColumn<QRect>("expected"); // empty: any place that keeps the rules

    const QRect screen(0, 0, 1280, 800);
    const QSize dialog(600, 300);
    const QSize small(300, 200);
    QTest::newRow("room on the right") << QRect(100, 100, 306, 212) << dialog << small << screen
                                       << int(OfWindow) << QRect(414, 100, 600, 300);
    QTest::newRow("room on the right exactly the dialog's width")
        << QRect(366, 100, 306, 212) << dialog << small << screen << int(OfWindow)
        << QRect(680, 100, 600, 300);
    QTest::newRow("room below exactly the dialog's height")
        << QRect(487, 280, 306, 212) << dialog << small << screen << int(OfWindow)
        << QRect(487, 500, 600, 300);
    QTest::newRow("room only on the left") << QRect(900, 100, 306, 212) << dialog << small << screen
                                           << int(OfWindow) << QRect(292, 100, 600, 300);
    QTest::newRow("centred window: below") << QRect(487, 294, 306, 212) << QSize(600, 260) << small
                                           << screen << int(OfWindow) << QRect(487, 514, 600, 260);
    QTest::newRow("low on the screen: above")
        << QRect(487, 560, 306, 212) << dialog << small << screen << int(OfWindow)
        << QRect(487, 252, 600, 300);
    QTest::newRow("beside, slid up onto the screen")
        << QRect(100, 700, 306, 90) << dialog << small << screen << int(OfWindow)
        << QRect(414, 500, 600, 300);
    QTest::newRow("second screen to the right")
        << QRect(1400, 100, 306, 212) << dialog << small << QRect(1280, 0, 1920, 1080)
        << int(OfWindow) << QRect(1714, 100, 600, 300);
    // Centred on a small screen at a large font: below the indicators, over the buttons.
    QTest::newRow("centred, tall dialog: over the buttons only")
        << QRect(487, 294, 306, 212) << QSize(600, 330) << small << screen << int(OfIndicators)
        << QRect();
    // At scale 1.5 a 1280 x 800 screen is 853 x 533: the dialog shrinks to fit beside.
    QTest::newRow("scale 1.5: shrunk beside")
        << QRect(273, 160, 306, 212) << dialog << QSize(240, 280) << QRect(0, 0, 853, 533)
        << int(OfWindow) << QRect();
    // At scale 2 it is 640 x 400: no room anywhere, so whole on the screen, covering least.
    QTest::newRow("scale 2: no room") << QRect(167, 94, 306, 212) << dialog << QSize(400, 280)
                                      << QRect(0, 0, 640, 400) << int(OfNothing) << QRect();
}

void tst_SelectionDialog::placedClearOfTheWindow()
{
    QFETCH(QRect, owner);
    QFETCH(QSize, size);
    QFETCH(QSize, minimum);
    QFETCH(QRect, screen);
    QFETCH(int, clear);
    QFETCH(QRect, expected);

    // Where the window's sixteen indicators stand within its frame.
    const QRect indicators = owner.adjusted(20, 40, -20, -owner.height() + 40 + 90);
    const QRect placed = placeClearOf({.owner = owner,
                                       .keepVisible = indicators,
                                       .size = size,
                                       .minimum = minimum,
                                       .screen = screen});
    if (!expected.isEmpty())
        QCOMPARE(placed, expected);
    QVERIFY(screen.contains(placed));
    QVERIFY(placed.width() >= std::min(minimum.width(), size.width()));
    QVERIFY(placed.height() >= std::min(minimum.height(), size.height()));
    QVERIFY(placed.width() <= size.width() && placed.height() <= size.height());
    QCOMPARE(placed.intersects(owner), clear != OfWindow);
    QCOMPARE(placed.intersects(indicators), clear == OfNothing);
}

void tst_SelectionDialog::dismissing_data()
{
    QTest::addColumn<QString>("how");

    // Another card is highlighted each time: dismissing must not open it.
    for (const char *how : {"Cancel", "Escape", "close"})
        QTest::newRow(how) << QString(how);
}

void tst_SelectionDialog::dismissing()
{
    QFETCH(QString, how);

    select(Gpio);
    if (how == "Cancel")
        button(QDialogButtonBox::Cancel)->click();
    else if (how == "Escape")
        QTest::keyClick(cards(), Qt::Key_Escape);
    else
        QVERIFY(m_dialog->close());

    QVERIFY(!m_dialog->isVisible());
    QCOMPARE(m_dialog->result(), int(QDialog::Rejected));
    QCOMPARE(m_dialog->takeChoice().outcome, CardChoice::Outcome::Cancelled);
    QCOMPARE(m_catalog->made, 0);
}

void tst_SelectionDialog::doubleClickChooses_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("closes");

    QTest::newRow("usable card") << int(Gpio) << true;
    QTest::newRow("unusable card") << int(Comedi) << false;
}

void tst_SelectionDialog::doubleClickChooses()
{
    QFETCH(int, row);
    QFETCH(bool, closes);

    QTreeWidgetItem *item = cards()->topLevelItem(row);
    const QPoint centre = cards()->visualItemRect(item).center();
    // As a mouse delivers it: the first click selects, the second arrives as a double-click.
    QTest::mouseClick(cards()->viewport(), Qt::LeftButton, {}, centre);
    QTest::mouseDClick(cards()->viewport(), Qt::LeftButton, {}, centre);

    QVERIFY(item->isSelected());
    QCOMPARE(m_dialog->isVisible(), !closes);
    QCOMPARE(label("message")->isVisible(), !closes);
    CardChoice choice = m_dialog->takeChoice();
    QCOMPARE(choice.outcome,
             closes ? CardChoice::Outcome::Replace : CardChoice::Outcome::Cancelled);
    if (closes)
        QCOMPARE(choice.card->info().name, FakeCatalog::info(Row(row)).name);
}

void tst_SelectionDialog::selectorRunsTheDialogOverTheWindow_data()
{
    QTest::addColumn<bool>("withWindow");
    QTest::addColumn<bool>("accept");

    QTest::newRow("accept over the window") << true << true;
    QTest::newRow("cancel over the window") << true << false;
    QTest::newRow("accept without a window") << false << true;
}

void tst_SelectionDialog::selectorRunsTheDialogOverTheWindow()
{
    QFETCH(bool, withWindow);
    QFETCH(bool, accept);

    m_dialog.reset();
    QWidget window;
    if (withWindow) {
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
    }
    DialogCardSelector selector(*m_catalog, withWindow ? &window : nullptr);
    FakeCard current(FakeCatalog::info(Simulated).name, m_log);

    // Only look inside exec(); checks that return early would leave it running.
    bool seen = false;
    QWidget *parent = nullptr;
    bool modal = false;
    QTimer::singleShot(0, this, [&] {
        auto *dialog = qobject_cast<DeviceSelectionDialog *>(QApplication::activeModalWidget());
        if (!dialog) {
            for (QWidget *widget : QApplication::topLevelWidgets())
                if (auto *open = qobject_cast<DeviceSelectionDialog *>(widget))
                    open->reject();
            return;
        }
        seen = true;
        parent = dialog->parentWidget();
        modal = dialog->isModal();
        auto *list = dialog->findChild<QTreeWidget *>("cards");
        list->setCurrentItem(list->topLevelItem(Gpio));
        auto *buttons = dialog->findChild<QDialogButtonBox *>();
        buttons->button(accept ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
    });
    CardChoice choice = selector.chooseCard(current);

    QVERIFY2(seen, "no modal selection dialog appeared");
    QCOMPARE(parent, withWindow ? &window : nullptr);
    QVERIFY(modal);
    QCOMPARE(m_catalog->asked, 1); // the cards are looked for anew each time
    QCOMPARE(choice.outcome,
             accept ? CardChoice::Outcome::Replace : CardChoice::Outcome::Cancelled);
    QCOMPARE(bool(choice.card), accept);
    if (accept)
        QCOMPARE(choice.card->info().name, FakeCatalog::info(Gpio).name);
    QCOMPARE(m_log.opens, accept ? 1 : 0);
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(window.findChildren<DeviceSelectionDialog *>().isEmpty()); // not left behind
}

void tst_SelectionDialog::brokenCardIsOpenedAfreshWhenChosen_data()
{
    QTest::addColumn<bool>("current");
    QTest::addColumn<bool>("fixed"); // the fix was applied while the list was open
    QTest::addColumn<CardChoice::Outcome>("outcome");

    using Outcome = CardChoice::Outcome;
    QTest::newRow("current, fixed") << true << true << Outcome::Replace;
    QTest::newRow("current, still broken") << true << false << Outcome::Cancelled;
    QTest::newRow("other, fixed") << false << true << Outcome::Replace;
    QTest::newRow("other, still broken") << false << false << Outcome::Cancelled;
}

void tst_SelectionDialog::brokenCardIsOpenedAfreshWhenChosen()
{
    QFETCH(bool, current);
    QFETCH(bool, fixed);
    QFETCH(CardChoice::Outcome, outcome);

    // The simulated card's row while its state file is corrupt: listed with reason and fix, yet
    // it can still be made, and is opened afresh when chosen.
    const CardInfo broken{"Simulated card", "simulated 8255", "built in"};
    std::vector<CardOffer> offers(1);
    offers[0].info = broken;
    offers[0].status = "corrupt: line 2";
    offers[0].fix = "run 'velmora-sim reset'";
    int made = 0;
    offers[0].make = [&] {
        ++made;
        auto card = std::make_unique<FakeCard>(broken.name, m_log);
        if (!fixed)
            card->openStatus = DispatchStatus::failure(57, "still corrupt: line 2");
        return card;
    };
    m_dialog = std::make_unique<DeviceSelectionDialog>(std::move(offers),
                                                       current ? broken : FakeCatalog::info(Gpio));
    m_dialog->show();
    select(0);
    QCOMPARE(label("details")->text().contains("run 'velmora-sim reset'"), true);
    button(QDialogButtonBox::Ok)->click();

    QCOMPARE(made, 1);
    QCOMPARE(m_log.opens, 1);
    QCOMPARE(m_dialog->isVisible(), !fixed);
    if (!fixed) {
        const QString shown = label("message")->text();
        QVERIFY2(shown.contains("still corrupt: line 2"), qPrintable(shown));
    }
    CardChoice choice = m_dialog->takeChoice();
    QCOMPARE(choice.outcome, outcome);
    QCOMPARE(bool(choice.card), fixed);
}

void tst_SelectionDialog::rescanListsTheCardsAgainWithoutClosing_data()
{
    QTest::addColumn<int>("selected");

    QTest::newRow("another card stays selected") << int(Gpio);
    QTest::newRow("the card that changed stays selected") << int(Comedi);
}

void tst_SelectionDialog::rescanListsTheCardsAgainWithoutClosing()
{
    QFETCH(int, selected);

    QVERIFY(!m_dialog->findChild<QPushButton *>("rescan")); // nothing to rescan from
    m_dialog->setRescan([this] { return m_catalog->offers(); });
    auto *rescan = m_dialog->findChild<QPushButton *>("rescan");
    QVERIFY(rescan && rescan->isVisible());
    QCOMPARE(rescan->text(), QString("Rescan"));

    select(selected);
    m_catalog->comediPermitted = true;
    QTest::mouseClick(rescan, Qt::LeftButton);

    QVERIFY(m_dialog->isVisible());
    QCOMPARE(m_dialog->result(), int(QDialog::Rejected)); // not finished
    QCOMPARE(m_catalog->asked, 1);
    QCOMPARE(cards()->topLevelItemCount(), int(RowCount));
    QCOMPARE(cards()->topLevelItem(Comedi)->text(Column::StatusColumn), QString("Ready"));
    QCOMPARE(cards()->currentItem(), cards()->topLevelItem(selected));
    QVERIFY(label("details")->text().contains(
        QString::fromStdString(FakeCatalog::info(Row(selected)).name)));
    QVERIFY(button(QDialogButtonBox::Ok)->isEnabled());
    // The card now permitted can be chosen from the same dialog.
    select(Comedi);
    m_dialog->chooseSelected();
    QCOMPARE(m_dialog->result(), int(QDialog::Accepted));
    QCOMPARE(m_dialog->takeChoice().card->info().name, FakeCatalog::info(Comedi).name);
}

void tst_SelectionDialog::warningReadableOnLightAndDarkLists_data()
{
    QTest::addColumn<QColor>("base");
    QTest::newRow("light") << QColor(Qt::white);
    QTest::newRow("dark") << QColor(0x2d, 0x2d, 0x2d);
}

// An unusable row's status and the dialog's message keep a contrast of at least 4.5:1 (the
// usual bar for legible text) against the list, whichever way the desktop's theme goes.
void tst_SelectionDialog::warningReadableOnLightAndDarkLists()
{
    QFETCH(QColor, base);
    const auto luminance = [](const QColor &c) {
        const auto channel = [](double v) {
            return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const auto contrast = [&](const QColor &text) {
        const double a = luminance(text) + 0.05, b = luminance(base) + 0.05;
        return std::max(a, b) / std::min(a, b);
    };
    const QPalette before = QApplication::palette();
    QPalette themed = before;
    themed.setColor(QPalette::Base, base);
    QApplication::setPalette(themed);
    open(FakeCatalog::info(Simulated));
    QApplication::setPalette(before);

    const QColor status = cards()->topLevelItem(Comedi)->foreground(Column::StatusColumn).color();
    QVERIFY2(status.isValid() && contrast(status) >= 4.5, qPrintable(status.name()));
    const QColor message = label("message")->palette().color(QPalette::WindowText);
    QVERIFY2(message.isValid() && contrast(message) >= 4.5, qPrintable(message.name()));
}

QTEST_MAIN(tst_SelectionDialog)
#include "tst_selectiondialog.moc"
