#pragma once

#include <QCheckBox>

#include <optional>

namespace velmora {

// One input-line indicator: a real two-state check box whose caption stays whole in a cell
// only 33 pixels wide. A stock check box puts its caption beside the box and clips "D10" to
// "D1" there; this one stands the caption under the box, in the platform's font, shrinking it
// only when even that does not fit.
class IndicatorBox final : public QCheckBox {
    Q_OBJECT

public:
    explicit IndicatorBox(const QString &caption, QWidget *parent = nullptr);

    // The indicator's state as the monitor writes it: 0 unchecked, 1 checked.
    int value() const { return isChecked() ? 1 : 0; }
    void setValue(int value) { setChecked(value != 0); }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Where the box and the caption go, and the font the caption needs to fit; public so that
    // tests can check that nothing is clipped.
    struct Layout {
        QRect area;
        QString text;
        QRect indicator;
        QRect caption; // the caption's ink
        QPointF baseline;
        QFont font;
    };
    Layout layoutFor(const QRect &area) const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool hitButton(const QPoint &pos) const override;

private:
    // Painting happens on every change of state; the fitting of the caption only when the
    // size, the font or the style changes.
    std::optional<Layout> m_layout;
};

} // namespace velmora
