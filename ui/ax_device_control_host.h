#pragma once

#include "automation/dispatch.h"
#include "device_control_host.h"

#include <memory>

class QAxWidget;

namespace velmora {

class ComDispatch;

// The card maker's own ActiveX control, hosted at the device control's place on Windows. The
// window gives it only its place; its size, look and stored settings are its own. Calls go to
// its IDispatch by dispatch identifier.
class AxDeviceControlHost final : public DeviceControlHost {
    Q_OBJECT

public:
    // Null where the control cannot be hosted (not installed, its file gone, it would not start),
    // with `whyNot` saying why, for the selection list to show.
    static std::unique_ptr<AxDeviceControlHost> create(const QString &progId, QWidget *parent,
                                                       DispatchStatus &whyNot);
    ~AxDeviceControlHost() override;

    Dispatch &dispatch() override;
    QString cardName() const override;

private:
    explicit AxDeviceControlHost(QWidget *parent);

    QAxWidget *m_control = nullptr;
    std::unique_ptr<ComDispatch> m_dispatch;
};

} // namespace velmora
