#pragma once

#include "card_control.h"

#include <QLabel>

#include <memory>

namespace velmora {

// The device control's place on the window: it owns the control we supply and shows, in a
// small caption, which card the control drives. It takes no focus.
class DeviceControlWidget final : public QLabel {
    Q_OBJECT

public:
    explicit DeviceControlWidget(std::unique_ptr<CardControl> control, QWidget *parent = nullptr);
    ~DeviceControlWidget() override;

    Dispatch &dispatch() noexcept { return *m_control; }
    CardControl &control() noexcept { return *m_control; }
    QString cardName() const { return m_cardName; }

    static constexpr QSize ControlSize{192, 18}; // ours to choose; clear of the label and rows

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void showCard(const CardInfo &info);
    void updateCaption();

    std::unique_ptr<CardControl> m_control;
    QString m_cardName;
};

} // namespace velmora
