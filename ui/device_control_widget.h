#pragma once

#include "cards/card_control.h"
#include "device_control_host.h"

#include <memory>

class QLabel;

namespace velmora {

// The device control this program supplies, on the window: it owns the control and shows, in a
// small caption, which card the control drives. It takes no focus.
class DeviceControlWidget final : public DeviceControlHost {
    Q_OBJECT

public:
    explicit DeviceControlWidget(std::unique_ptr<CardControl> control, QWidget *parent = nullptr);
    ~DeviceControlWidget() override;

    Dispatch &dispatch() override { return *m_control; }
    CardControl *cardControl() override { return m_control.get(); }
    QString cardName() const override { return m_cardName; }
    QString caption() const; // as shown, elided where the name is long

    static constexpr QSize ControlSize{192, 18}; // ours to choose; clear of the label and rows

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void showCard(const CardInfo &info);
    void updateCaption();

    std::unique_ptr<CardControl> m_control;
    QLabel *m_caption = nullptr;
    QString m_cardName;
    QString m_captionTag; // " (last used)": why it is this card, where there is something to say
};

} // namespace velmora
