#include "device_control_widget.h"

#include <QFontMetrics>
#include <QLabel>

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
    setAccessibleName(m_cardName);
    setToolTip(QStringLiteral("%1\n%2, %3")
                   .arg(m_cardName, QString::fromStdString(info.kind),
                        QString::fromStdString(info.location)));
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
    // Long names (a comedi board with its node) are elided; the tool tip keeps them whole.
    m_caption->setText(
        m_caption->fontMetrics().elidedText(m_cardName, Qt::ElideRight, m_caption->width()));
}

} // namespace velmora
