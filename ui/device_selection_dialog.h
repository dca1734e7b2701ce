#pragma once

#include "cards/card_catalog.h"
#include "cards/card_control.h"

#include <QDialog>
#include <QPointer>

#include <functional>
#include <vector>

class QDialogButtonBox;
class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace velmora {

// Lists the cards the machine offers and lets the user pick one. OK opens the picked card
// here, so a card that will not open is reported while the user can still choose another.
class DeviceSelectionDialog final : public QDialog {
    Q_OBJECT

public:
    enum Column { NameColumn, KindColumn, WhereColumn, StatusColumn, ColumnCount };

    DeviceSelectionDialog(std::vector<CardOffer> offers, const CardInfo &current,
                          QWidget *parent = nullptr);
    ~DeviceSelectionDialog() override;

    // The user's answer once the dialog has finished; Cancelled until it is accepted.
    CardChoice takeChoice();

    // Tries the highlighted card, as OK does; the dialog closes only if that succeeds.
    void chooseSelected();

    // Where the cards come from when the user asks to look again (a board attached or a
    // permission fixed meanwhile). Without it there is no "Rescan" button.
    using Rescan = std::function<std::vector<CardOffer>()>;
    void setRescan(Rescan rescan);
    // Lists the cards afresh, keeping the highlighted card highlighted where it is still there.
    void rescan();

private:
    void populate();
    void dropChoice() noexcept;
    void fitToContents();
    void updateForSelection();
    void showMessage(const QString &text);
    int selectedRow() const;
    QString detailsText(const CardOffer &offer) const;

    std::vector<CardOffer> m_offers;
    CardInfo m_current;
    CardChoice m_choice;

    QTreeWidget *m_cards = nullptr;
    QLabel *m_details = nullptr;
    QLabel *m_message = nullptr;
    QDialogButtonBox *m_buttons = nullptr;
    QPushButton *m_rescanButton = nullptr;
    Rescan m_rescan;
};

// Where the selection dialog goes, all in global coordinates with frames included.
struct DialogPlacement {
    QRect owner;       // the main window
    QRect keepVisible; // what must stay in sight where the whole window cannot: the indicators
    QSize size;        // the dialog's preferred size
    QSize minimum;     // the smallest it may shrink to to stay clear
    QRect screen;      // the screen's available area
};
// Beside the owner, else below or above it; where the screen has no room for that, clear of the
// indicators only; failing both, the same with the dialog shrunk towards its minimum; failing
// that, covering as little of the indicators as the screen allows. The dialog always lies whole
// on the screen.
QRect placeClearOf(const DialogPlacement &placement);

// Answers the device control's SelectDevice with the dialog, over `parent` (the main window),
// from the cards the catalog finds at that moment.
class DialogCardSelector final : public CardSelector {
public:
    explicit DialogCardSelector(CardCatalog &catalog, QWidget *parent = nullptr)
        : m_catalog(catalog)
        , m_parent(parent)
    {}

    CardChoice chooseCard(const Card &current) override;

private:
    CardCatalog &m_catalog;
    QPointer<QWidget> m_parent;
};

} // namespace velmora
