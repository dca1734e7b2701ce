#pragma once

#include <QWidget>

namespace velmora {

class CardControl;
class Dispatch;

// Whatever stands at the device control's place on the window: the control this program
// supplies, or the card maker's ActiveX control where it is installed. Either answers the three
// dispatch identifiers; the window owns it, and the card goes with it.
class DeviceControlHost : public QWidget {
    Q_OBJECT

public:
    virtual Dispatch &dispatch() = 0;
    // The card the control drives, as the caption names it.
    virtual QString cardName() const = 0;
    // The control we supply, which offers our selection dialog; null for a hosted control.
    virtual CardControl *cardControl() { return nullptr; }

protected:
    explicit DeviceControlHost(QWidget *parent)
        : QWidget(parent)
    {
        setFocusPolicy(Qt::NoFocus);
    }
};

} // namespace velmora
