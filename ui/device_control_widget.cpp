#include "device_control_widget.h"

#include <QFontMetrics>

namespace velmora {

DeviceControlWidget::DeviceControlWidget(std::unique_ptr<CardControl> control, QWidget *parent)
    : QLabel(parent)
    , m_control(std::move(control))
{
    setFocusPolicy(Qt::NoFocus);
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    setFont(small);
    setForegroundRole(QPalette::PlaceholderText);
    resize(ControlSize);
    m_control->setCardChangedCallback([this](const CardInfo &info) { showCard(info); });
    showCard(m_control->card().info());
}

DeviceControlWidget::~DeviceControlWidget()
{
    // The callback points back here; the control (and its card) goes with this widget.
    m_control->setCardChangedCallback({});
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
    QLabel::resizeEvent(event);
    updateCaption();
}

void DeviceControlWidget::updateCaption()
{
    // Long names (a comedi board with its node) are elided; the tool tip keeps them whole.
    setText(fontMetrics().elidedText(m_cardName, Qt::ElideRight, contentsRect().width()));
}

} // namespace velmora
