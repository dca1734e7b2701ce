#include "device_control_widget.h"

#include <QFontMetrics>
#include <QLabel>

#include <algorithm>

namespace velmora {

DeviceControlWidget::DeviceControlWidget(std::unique_ptr<CardControl> control, QWidget *parent)
    : DeviceControlHost(parent)
    , m_control(std::move(control))
    , m_caption(new QLabel(this))
{
    m_caption->setFocusPolicy(Qt::NoFocus);
    m_caption->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    m_caption->setFont(small);
    m_caption->setForegroundRole(QPalette::PlaceholderText);
    resize(ControlSize);
    m_control->setCardChangedCallback([this](const CardInfo &info) { showCard(info); });
    showCard(m_control->card().info());
}

DeviceControlWidget::~DeviceControlWidget()
{
    // The callback points back here; the control (and its card) goes with this widget.
    m_control->setCardChangedCallback({});
}

QString DeviceControlWidget::caption() const
{
    return m_caption->text();
}

void DeviceControlWidget::showCard(const CardInfo &info)
{
    m_cardName = QString::fromStdString(info.name);
    // Why this card: the one used last time, or the simulated card standing in for it.
    const CardOrigin &origin = m_control->origin();
    m_captionTag = origin.tag.empty()
                       ? QString()
                       : QStringLiteral(" (%1)").arg(QString::fromStdString(origin.tag));
    setAccessibleName(m_cardName + m_captionTag);
    QString tip = QStringLiteral("%1\n%2, %3")
                      .arg(m_cardName, QString::fromStdString(info.kind),
                           QString::fromStdString(info.location));
    if (!origin.detail.empty())
        tip += u'\n' + QString::fromStdString(origin.detail);
    setToolTip(tip);
    updateCaption();
}

void DeviceControlWidget::resizeEvent(QResizeEvent *event)
{
    DeviceControlHost::resizeEvent(event);
    m_caption->setGeometry(rect());
    updateCaption();
}

void DeviceControlWidget::updateCaption()
{
    // Long names (a comedi board with its node) are elided, never the note after them; the tool
    // tip keeps them whole.
    const QFontMetrics metrics = m_caption->fontMetrics();
    const int room = std::max(0, m_caption->width() - metrics.horizontalAdvance(m_captionTag));
    m_caption->setText(metrics.elidedText(m_cardName, Qt::ElideRight, room) + m_captionTag);
}

} // namespace velmora
