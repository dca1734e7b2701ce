// Windows only: the one place where the window meets ActiveQt.

#include "ax_device_control_host.h"

#include "com/com_dispatch.h"

#include <ActiveQt/QAxWidget>
#include <QUuid>

#include <oaidl.h>
#include <windows.h>

namespace velmora {

AxDeviceControlHost::AxDeviceControlHost(QWidget *parent)
    : DeviceControlHost(parent)
{}

AxDeviceControlHost::~AxDeviceControlHost()
{
    // Our reference goes before the widget lets the control itself go.
    m_dispatch.reset();
}

std::unique_ptr<AxDeviceControlHost> AxDeviceControlHost::create(const QString &progId,
                                                                 QWidget *parent)
{
    std::unique_ptr<AxDeviceControlHost> host(new AxDeviceControlHost(parent));
    host->m_control = new QAxWidget(host.get());
    if (!host->m_control->setControl(progId))
        return nullptr;

    IDispatch *raw = nullptr;
    const long result =
        host->m_control->queryInterface(QUuid(IID_IDispatch), reinterpret_cast<void **>(&raw));
    if (FAILED(result) || raw == nullptr)
        return nullptr;
    host->m_dispatch = std::make_unique<ComDispatch>(raw); // takes a reference of its own
    raw->Release();

    // It takes no focus and stays out of the tab order, like the control we supply.
    host->m_control->setFocusPolicy(Qt::NoFocus);
    const QSize own = host->m_control->sizeHint();
    const QSize size = own.isValid() ? own : QSize(32, 32);
    host->m_control->resize(size);
    host->resize(size);
    return host;
}

Dispatch &AxDeviceControlHost::dispatch()
{
    return *m_dispatch;
}

QString AxDeviceControlHost::cardName() const
{
    return QStringLiteral("Card maker's device control");
}

} // namespace velmora
