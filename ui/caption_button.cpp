#include "caption_button.h"

#include "caption_fit.h"

#include <QKeyEvent>
#include <QStyleOptionButton>
#include <QStylePainter>

#include <algorithm>

namespace velmora {

CaptionButton::CaptionButton(const QString &caption, QWidget *parent)
    : QPushButton(caption, parent)
{}

void CaptionButton::setFittingCaptions(const QStringList &captions)
{
    m_fittingCaptions = captions;
    m_captionFont.reset();
    update();
}

QSize CaptionButton::captionRoom() const
{
    // Inside the bevel, less the style's own margin around a caption. The style's answer for a
    // whole button is no guide: some (Adwaita) never size one below 36 pixels high.
    QStyleOptionButton option;
    initStyleOption(&option);
    const QRect contents = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
    const int margin = style()->pixelMetric(QStyle::PM_ButtonMargin, &option, this);
    return contents.size() - QSize(margin, margin);
}

QFont CaptionButton::captionFont() const
{
    if (!m_captionFont || m_fittedText != text()) {
        m_fittedText = text();
        const QSize room = captionRoom();
        const QStringList captions = m_fittingCaptions + QStringList{text()};
        m_captionFont = fittedFont(font(), [&](const QFont &candidate) {
            const QFontMetrics metrics(candidate);
            return std::ranges::all_of(captions, [&](const QString &caption) {
                const QSize needed = metrics.size(Qt::TextShowMnemonic, caption);
                return needed.width() <= room.width() && needed.height() <= room.height();
            });
        });
    }
    return *m_captionFont;
}

void CaptionButton::paintEvent(QPaintEvent *)
{
    // As QPushButton paints itself, with the fitted font in the painter and the option.
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QFont font = captionFont();
    painter.setFont(font);
    option.fontMetrics = QFontMetrics(font);
    painter.drawControl(QStyle::CE_PushButton, option);
}

void CaptionButton::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        m_captionFont.reset();
    QPushButton::changeEvent(event);
}

void CaptionButton::resizeEvent(QResizeEvent *event)
{
    m_captionFont.reset();
    QPushButton::resizeEvent(event);
}

void CaptionButton::keyPressEvent(QKeyEvent *event)
{
    // Held down, Enter presses once: a repeat must not reach the dialog "Select Device" opens.
    const bool enter = event->key() == Qt::Key_Enter || event->key() == Qt::Key_Return;
    if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (!event->isAutoRepeat())
            click();
        return;
    }
    QPushButton::keyPressEvent(event);
}

} // namespace velmora
