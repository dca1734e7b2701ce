#include "indicator_box.h"

#include <QEvent>
#include <QFontMetrics>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
#include <QtMath>

namespace velmora {

namespace {
constexpr int Gap = 2;           // between box and caption
constexpr qreal MinPoints = 6.0; // below this a caption is no longer worth shrinking
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
    const int boxW = style()->pixelMetric(QStyle::PM_IndicatorWidth, &option, this);
    const int boxH = style()->pixelMetric(QStyle::PM_IndicatorHeight, &option, this);

    // Every indicator fits the same reference caption, so that all sixteen share one size
    // whatever rounding the scale factor brings.
    Layout layout;
    layout.area = area;
    layout.text = text();
    layout.font = font();
    QRectF reference;
    for (;;) {
        reference = QFontMetricsF(layout.font).tightBoundingRect(ReferenceCaption);
        const bool fits = boxH + Gap + reference.height() <= area.height() &&
                          reference.width() < area.width() - 1;
        if (fits || layout.font.pointSizeF() <= MinPoints)
            break;
        layout.font.setPointSizeF(layout.font.pointSizeF() - 0.25);
    }

    // Box and caption as one block, centred in the cell.
    const int captionH = qCeil(reference.height());
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
    painter.drawPrimitive(QStyle::PE_IndicatorCheckBox, box);

    painter.setFont(layout.font);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    painter.drawText(layout.baseline, text());

    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = layout.caption.adjusted(-1, -1, 1, 1).intersected(rect());
        painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
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
