#include "indicator_box.h"

#include "caption_fit.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPen>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QtMath>

namespace velmora {

namespace {
constexpr int Gap = 2;           // between box and caption
constexpr int FocusRingRoom = 2; // a pixel above the caption and one below
// As wide and as tall as any caption "D0".."D15" gets.
const QString ReferenceCaption = QStringLiteral("D88");
} // namespace

IndicatorBox::IndicatorBox(const QString &caption, QWidget *parent)
    : QCheckBox(caption, parent)
{
    setAccessibleName(caption);
}

IndicatorBox::Layout IndicatorBox::layoutFor(const QRect &area) const
{
    QStyleOptionButton option;
    initStyleOption(&option);
    int boxW = style()->pixelMetric(QStyle::PM_IndicatorWidth, &option, this);
    int boxH = style()->pixelMetric(QStyle::PM_IndicatorHeight, &option, this);

    // Every indicator fits the same reference caption, so that all sixteen share one size
    // whatever rounding the scale factor brings.
    Layout layout;
    layout.area = area;
    layout.text = text();
    layout.font = fittedFont(font(), [&](const QFont &candidate) {
        const QRectF reference = QFontMetricsF(candidate).tightBoundingRect(ReferenceCaption);
        return boxH + Gap + reference.height() <= area.height() &&
               reference.width() < area.width() - 1;
    });
    const QRectF reference = QFontMetricsF(layout.font).tightBoundingRect(ReferenceCaption);
    const int captionH = qCeil(reference.height());

    // Styles with large boxes (Adwaita's) leave no room for a legible caption under the box in
    // a cell 25 pixels high: there the box gives way, keeping its shape, not the caption, and
    // leaves room for the focus ring around the caption too.
    const int roomForBox = area.height() - Gap - captionH - FocusRingRoom;
    if (boxH > roomForBox + FocusRingRoom && roomForBox > 0) {
        boxW = qMax(1, boxW * roomForBox / boxH);
        boxH = roomForBox;
    }

    // Box and caption as one block, centred in the cell.
    const int blockH = boxH + Gap + captionH;
    const int top = area.top() + (area.height() - blockH) / 2;
    layout.indicator = QRect(area.left() + (area.width() - boxW) / 2, top, boxW, boxH);

    const QRectF ink = QFontMetricsF(layout.font).tightBoundingRect(text());
    const qreal inkLeft = area.left() + (area.width() - ink.width()) / 2;
    const qreal inkTop = top + boxH + Gap;
    layout.caption = QRectF(inkLeft, inkTop, ink.width(), captionH).toAlignedRect();
    // Ink is measured from the pen position on the baseline.
    layout.baseline = QPointF(inkLeft - ink.left(), inkTop - reference.top());
    return layout;
}

QSize IndicatorBox::sizeHint() const
{
    QStyleOptionButton option;
    initStyleOption(&option);
    const QFontMetrics metrics(font());
    const QRect ink = metrics.tightBoundingRect(text());
    const int boxW = style()->pixelMetric(QStyle::PM_IndicatorWidth, &option, this);
    const int boxH = style()->pixelMetric(QStyle::PM_IndicatorHeight, &option, this);
    return {qMax(boxW, ink.width()) + 2, boxH + Gap + ink.height() + 2};
}

QSize IndicatorBox::minimumSizeHint() const
{
    return sizeHint();
}

void IndicatorBox::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    if (!m_layout || m_layout->area != rect() || m_layout->text != text())
        m_layout = layoutFor(rect());
    const Layout &layout = *m_layout;

    QStyleOptionButton box = option;
    box.rect = layout.indicator;
    // Marked even before the keyboard was first used: the ring around the caption may not fit.
    if (hasFocus())
        box.state |= QStyle::State_KeyboardFocusChange;
    painter.drawPrimitive(QStyle::PE_IndicatorCheckBox, box);

    painter.setFont(layout.font);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    painter.drawText(layout.baseline, text());

    // A dotted ring a pixel clear of the caption, drawn here rather than by the style: some
    // styles (Adwaita) inset their focus frame, which would cross glyphs this small. Only where
    // the cell has room for it; the box shows focus in the style's own way regardless.
    const QRect ring = layout.caption.adjusted(-1, -1, 0, 0);
    if (hasFocus() && rect().contains(ring.adjusted(0, 0, 1, 1))) {
        painter.setPen(QPen(painter.pen().color(), 1, Qt::DotLine));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(ring);
    }
}

void IndicatorBox::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        m_layout.reset();
    QCheckBox::changeEvent(event);
}

bool IndicatorBox::hitButton(const QPoint &pos) const
{
    // The whole cell answers the mouse, not just the box.
    return rect().contains(pos);
}

} // namespace velmora
