#include "device_selection_dialog.h"

#include "indicator_box.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>

namespace velmora {

namespace {

constexpr QSize PreferredSize{600, 260};

QString qs(const std::string &text)
{
    return QString::fromStdString(text);
}

// Chosen for contrast against the list's own background, light theme or dark.
QColor warningColor(const QPalette &palette)
{
    return palette.color(QPalette::Base).lightness() > 127 ? QColor(0xa8, 0x2a, 0x00)
                                                           : QColor(0xff, 0xa0, 0x80);
}

// The fix, where one is known, already stands in the details just above.
QString cannotOpen(const std::string &name, const std::string &reason)
{
    return DeviceSelectionDialog::tr("Cannot open %1: %2")
        .arg(qs(name), reason.empty() ? DeviceSelectionDialog::tr("unknown error") : qs(reason));
}

// However the owner's frame and the dialog's compare, the gap keeps the two apart.
constexpr int PlacementGap = 8;
// Rows the list keeps in view whatever appears below it.
constexpr int ListRowsKept = 5;

int overlapArea(const QRect &a, const QRect &b)
{
    const QRect common = a.intersected(b);
    return common.isEmpty() ? 0 : common.width() * common.height();
}

QPoint clampedInto(QPoint topLeft, const QSize &size, const QRect &screen)
{
    topLeft.setX(std::max(screen.left(), std::min(topLeft.x(), screen.right() + 1 - size.width())));
    topLeft.setY(
        std::max(screen.top(), std::min(topLeft.y(), screen.bottom() + 1 - size.height())));
    return topLeft;
}

} // namespace

DeviceSelectionDialog::DeviceSelectionDialog(std::vector<CardOffer> offers, const CardInfo &current,
                                             QWidget *parent)
    : QDialog(parent)
    , m_offers(std::move(offers))
    , m_current(current)
{
    setWindowTitle(tr("Select Device"));
    setSizeGripEnabled(true);

    m_cards = new QTreeWidget(this);
    m_cards->setObjectName(QStringLiteral("cards"));
    m_cards->setAccessibleName(tr("Cards"));
    m_cards->setColumnCount(ColumnCount);
    m_cards->setHeaderLabels({tr("Name"), tr("Kind"), tr("Where"), tr("Status")});
    m_cards->setRootIsDecorated(false);
    m_cards->setUniformRowHeights(true);
    m_cards->setAllColumnsShowFocus(true);
    m_cards->setSelectionMode(QAbstractItemView::SingleSelection);
    m_cards->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_cards->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_cards->header()->setStretchLastSection(true);

    m_details = new QLabel(this);
    m_details->setObjectName(QStringLiteral("details"));
    m_details->setTextFormat(Qt::PlainText); // names and reasons come from the system
    m_details->setWordWrap(true);
    m_details->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_details->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Room for name, place, reason and fix, so the list does not jump as the selection moves.
    m_details->setMinimumHeight(m_details->fontMetrics().lineSpacing() * 4);

    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("message"));
    m_message->setTextFormat(Qt::PlainText);
    m_message->setWordWrap(true);
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPalette messagePalette = m_message->palette();
    messagePalette.setColor(QPalette::WindowText, warningColor(palette()));
    m_message->setPalette(messagePalette);
    m_message->hide();

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_cards, 1);
    layout->addWidget(m_details);
    layout->addWidget(m_message);
    layout->addWidget(m_buttons);

    connect(m_buttons, &QDialogButtonBox::accepted, this, &DeviceSelectionDialog::chooseSelected);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &DeviceSelectionDialog::reject);
    connect(m_cards, &QTreeWidget::itemSelectionChanged, this,
            &DeviceSelectionDialog::updateForSelection);
    connect(m_cards, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem *item) {
        m_cards->setCurrentItem(item);
        chooseSelected();
    });

    populate();
    updateForSelection();
    fitToContents();
    m_cards->setFocus();
}

DeviceSelectionDialog::~DeviceSelectionDialog()
{
    dropChoice();
}

CardChoice DeviceSelectionDialog::takeChoice()
{
    CardChoice choice = std::move(m_choice);
    m_choice = {};
    return choice;
}

void DeviceSelectionDialog::dropChoice() noexcept
{
    // A card opened here but never handed over must still give back what it took.
    if (m_choice.card)
        m_choice.card->close();
    m_choice = {};
}

void DeviceSelectionDialog::populate()
{
    const QIcon warning = style()->standardIcon(QStyle::SP_MessageBoxWarning);
    const QColor warningText = warningColor(m_cards->palette());

    for (const CardOffer &offer : m_offers) {
        const bool isCurrent = sameCard(offer.info, m_current);
        auto *item = new QTreeWidgetItem(m_cards);
        const QString name = qs(offer.info.name);
        item->setText(NameColumn, isCurrent ? tr("%1 (current)").arg(name) : name);
        item->setData(NameColumn, Qt::AccessibleTextRole,
                      isCurrent ? tr("%1, current card").arg(name) : name);
        item->setText(KindColumn, qs(offer.info.kind));
        item->setText(WhereColumn, qs(offer.info.location));
        item->setText(StatusColumn,
                      offer.usable && offer.status.empty() ? tr("Ready") : qs(offer.status));

        const QString details = detailsText(offer);
        for (int column = 0; column < ColumnCount; ++column) {
            item->setToolTip(column, details);
            item->setData(column, Qt::AccessibleDescriptionRole, details);
        }
        if (!offer.usable) {
            item->setIcon(StatusColumn, warning);
            item->setForeground(StatusColumn, warningText);
        }
        if (isCurrent) {
            QFont bold = m_cards->font();
            bold.setBold(true);
            for (int column = 0; column < ColumnCount; ++column)
                item->setFont(column, bold);
            m_cards->setCurrentItem(item);
        }
    }
    if (QTreeWidgetItem *current = m_cards->currentItem())
        m_cards->scrollToItem(current);
}

void DeviceSelectionDialog::fitToContents()
{
    // Tall enough for a few rows whatever the font, so that a message appearing below takes its
    // room from the dialog, not from the list.
    const int rows = std::clamp(m_cards->topLevelItemCount(), 1, ListRowsKept);
    const int rowHeight = std::max(m_cards->sizeHintForRow(0), m_cards->fontMetrics().height());
    // A narrow dialog scrolls the columns sideways: the scroll bar must not cost a row.
    const int scrollBar = m_cards->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    m_cards->setMinimumHeight(2 * m_cards->frameWidth() + m_cards->header()->sizeHint().height() +
                              rows * rowHeight + scrollBar);

    // Wide enough to show every column whole where the screen allows it.
    int listWidth =
        2 * m_cards->frameWidth() + m_cards->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const QAbstractItemView &view = *m_cards; // QTreeView hides the public overload
    for (int column = 0; column < ColumnCount; ++column)
        listWidth +=
            std::max(view.sizeHintForColumn(column), m_cards->header()->sectionSizeHint(column));
    const QMargins margins = layout()->contentsMargins();
    int width = std::max(PreferredSize.width(), listWidth + margins.left() + margins.right());
    const QScreen *screen =
        parentWidget() ? parentWidget()->screen() : QApplication::primaryScreen();
    if (screen)
        width = std::min(width, screen->availableGeometry().width() * 9 / 10);
    resize(width, std::max(PreferredSize.height(), sizeHint().height()));
}

int DeviceSelectionDialog::selectedRow() const
{
    const QList<QTreeWidgetItem *> selected = m_cards->selectedItems();
    return selected.isEmpty() ? -1 : m_cards->indexOfTopLevelItem(selected.first());
}

QString DeviceSelectionDialog::detailsText(const CardOffer &offer) const
{
    QStringList lines;
    lines << qs(offer.info.name);
    lines << tr("%1, %2").arg(qs(offer.info.kind), qs(offer.info.location));
    if (offer.usable) {
        lines << (offer.status.empty() ? tr("Ready") : qs(offer.status));
    } else {
        lines << tr("Cannot be opened: %1").arg(qs(offer.status));
        if (!offer.fix.empty())
            lines << tr("To fix: %1").arg(qs(offer.fix));
    }
    return lines.join(u'\n');
}

void DeviceSelectionDialog::updateForSelection()
{
    const int row = selectedRow();
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(row >= 0);
    m_details->setText(row >= 0 ? detailsText(m_offers[static_cast<std::size_t>(row)])
                                : tr("Select a card."));
    // A failure belongs to the card it was about.
    showMessage({});
}

void DeviceSelectionDialog::showMessage(const QString &text)
{
    m_message->setText(text);
    m_message->setVisible(!text.isEmpty());
    // Wrapped text needs more height the narrower the dialog is, which a window's minimum size
    // does not follow: grow to what the texts need at the present width.
    layout()->activate();
    const int needed = layout()->totalHeightForWidth(width());
    if (needed > height())
        resize(width(), needed);
    // The dialog grows rather than the list shrinking; the card the message is about stays in
    // view either way.
    if (QTreeWidgetItem *current = m_cards->currentItem())
        m_cards->scrollToItem(current);
}

void DeviceSelectionDialog::chooseSelected()
{
    const int row = selectedRow();
    if (row < 0)
        return;
    const CardOffer &offer = m_offers[static_cast<std::size_t>(row)];

    // The current card chosen again stays as it is, unless it cannot be opened now: then it is
    // made and opened afresh like any other, so a fix applied meanwhile takes effect.
    if (sameCard(offer.info, m_current) && offer.usable) {
        dropChoice();
        m_choice.outcome = CardChoice::Outcome::KeepCurrent;
        accept();
        return;
    }
    // A row that could not be opened when the list was made is tried again where it can be made
    // at all: the user may have applied its fix while the list was open.
    std::unique_ptr<Card> card = offer.make ? offer.make() : nullptr;
    if (!card) {
        showMessage(offer.usable ? cannotOpen(offer.info.name, {})
                                 : cannotOpen(offer.info.name, offer.status));
        return;
    }
    const DispatchStatus status = card->open();
    if (status.failed) {
        // It did not open, so there is nothing to close; the card simply goes. Its report names
        // the fix.
        showMessage(cannotOpen(offer.info.name, status.description));
        return;
    }
    dropChoice();
    m_choice.outcome = CardChoice::Outcome::Replace;
    m_choice.card = std::move(card);
    accept();
}

void DeviceSelectionDialog::setRescan(Rescan rescan)
{
    m_rescan = std::move(rescan);
    if (!m_rescanButton) {
        m_rescanButton = m_buttons->addButton(tr("Rescan"), QDialogButtonBox::ActionRole);
        m_rescanButton->setObjectName(QStringLiteral("rescan"));
        m_rescanButton->setToolTip(tr("Look for cards again"));
        connect(m_rescanButton, &QPushButton::clicked, this, &DeviceSelectionDialog::rescan);
    }
    m_rescanButton->setVisible(static_cast<bool>(m_rescan));
}

void DeviceSelectionDialog::rescan()
{
    if (!m_rescan)
        return;
    const int row = selectedRow();
    const std::optional<CardInfo> selected =
        row >= 0 ? std::optional(m_offers[static_cast<std::size_t>(row)].info) : std::nullopt;
    std::vector<CardOffer> offers = m_rescan();
    m_cards->clear();
    m_offers = std::move(offers);
    populate();
    if (selected) {
        for (std::size_t i = 0; i < m_offers.size(); ++i) {
            if (sameCard(m_offers[i].info, *selected))
                m_cards->setCurrentItem(m_cards->topLevelItem(static_cast<int>(i)));
        }
    }
    updateForSelection();
}

QRect placeClearOf(const DialogPlacement &placement)
{
    const QRect &screen = placement.screen;
    const QSize &size = placement.size;
    // The room on each side of `avoid`, best first: beside it, as wide screens have room there,
    // then below and above. The dialog lines up with the edge of what it avoids as far as the
    // screen lets it. Where it may shrink, it takes the side that leaves it largest.
    const auto tryClearOf = [&](const QRect &avoid, bool shrink) -> std::optional<QRect> {
        const QRect rooms[] = {
            QRect(QPoint(avoid.right() + 1 + PlacementGap, screen.top()), screen.bottomRight()),
            QRect(screen.topLeft(), QPoint(avoid.left() - 1 - PlacementGap, screen.bottom())),
            QRect(QPoint(screen.left(), avoid.bottom() + 1 + PlacementGap), screen.bottomRight()),
            QRect(screen.topLeft(), QPoint(screen.right(), avoid.top() - 1 - PlacementGap)),
        };
        const QSize least = shrink ? placement.minimum.boundedTo(size) : size;
        std::optional<QRect> best;
        for (std::size_t side = 0; side < std::size(rooms); ++side) {
            const QRect &room = rooms[side];
            if (room.width() < least.width() || room.height() < least.height())
                continue;
            const QSize fitted = size.boundedTo(room.size());
            QPoint topLeft;
            if (side == 0)
                topLeft = {room.left(), avoid.top()};
            else if (side == 1)
                topLeft = {room.right() + 1 - fitted.width(), avoid.top()};
            else if (side == 2)
                topLeft = {avoid.left(), room.top()};
            else
                topLeft = {avoid.left(), room.bottom() + 1 - fitted.height()};
            const QRect placed(clampedInto(topLeft, fitted, room), fitted);
            if (!best || placed.width() * placed.height() > best->width() * best->height())
                best = placed;
        }
        return best;
    };
    // Clear of the whole window where the screen has room, else clear of its indicators (the
    // buttons are of no use while the dialog is open); whole before shrunk.
    for (const bool shrink : {false, true})
        for (const QRect &avoid : {placement.owner, placement.keepVisible})
            if (const auto clear = tryClearOf(avoid, shrink))
                return *clear;

    // A screen too small even for that: whole on the screen, covering the indicators least.
    const QPoint starts[] = {
        {placement.keepVisible.right() + 1, placement.keepVisible.top()},
        {placement.keepVisible.left(), placement.keepVisible.bottom() + 1},
    };
    QRect best;
    int bestOverlap = -1;
    for (const QPoint &start : starts) {
        const QRect placed(clampedInto(start, size, screen), size);
        const int overlap = overlapArea(placed, placement.keepVisible);
        if (bestOverlap < 0 || overlap < bestOverlap) {
            best = placed;
            bestOverlap = overlap;
        }
    }
    return best;
}

CardChoice DialogCardSelector::chooseCard(const Card &current)
{
    // On the heap: the window may go while the dialog runs, and take its children with it.
    QPointer<DeviceSelectionDialog> dialog =
        new DeviceSelectionDialog(m_catalog.offers(), current.info(), m_parent);
    dialog->setRescan([&catalog = m_catalog] { return catalog.offers(); });
    dialog->setWindowModality(Qt::ApplicationModal);
    if (m_parent && m_parent->isVisible() && m_parent->screen()) {
        // Frames are not known before the dialog shows; its decoration matches the owner's.
        const QWidget *owner = m_parent->window();
        const QSize decoration = owner->frameGeometry().size() - owner->size();
        QRect indicators;
        for (const IndicatorBox *box : owner->findChildren<IndicatorBox *>())
            indicators |= QRect(box->mapToGlobal(QPoint(0, 0)), box->size());
        if (indicators.isEmpty())
            indicators = owner->frameGeometry();
        const QRect placed = placeClearOf({.owner = owner->frameGeometry(),
                                           .keepVisible = indicators,
                                           .size = dialog->size() + decoration,
                                           .minimum = dialog->minimumSizeHint() + decoration,
                                           .screen = owner->screen()->availableGeometry()});
        dialog->resize(placed.size() - decoration);
        dialog->move(placed.topLeft());
    }
    dialog->exec();
    if (!dialog)
        return {};
    CardChoice choice = dialog->takeChoice();
    delete dialog;
    return choice;
}

} // namespace velmora
