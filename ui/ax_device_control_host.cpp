// Windows only: the one place where the window meets ActiveQt.

#include "ax_device_control_host.h"

#include "automation/automation_error.h"
#include "com/com_card.h"
#include "com/com_dispatch.h"
#include "com/com_error.h"

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

std::unique_ptr<AxDeviceControlHost>
AxDeviceControlHost::create(const QString &progId, QWidget *parent, DispatchStatus &whyNot)
{
    // Asked first: QAxWidget says only whether it worked, never why.
    const ComControlCheck check = checkComControl(progId.toStdWString());
    if (check.status.failed) {
        whyNot = check.status;
        return nullptr;
    }
    std::unique_ptr<AxDeviceControlHost> host(new AxDeviceControlHost(parent));
    host->m_control = new QAxWidget(host.get());
    if (!host->m_control->setControl(progId)) {
        whyNot = DispatchStatus::failure(error_code::CannotCreateObject,
                                         "ActiveX component can't create object: the control "
                                         "would not start on the window");
        return nullptr;
    }
    IUnknown *unknown = nullptr;
    const long result =
        host->m_control->queryInterface(QUuid(IID_IUnknown), reinterpret_cast<void **>(&unknown));
    // Takes the reference over whatever happens next, so it is released on every way out.
    ComCreation bound = adoptHostedControl(unknown);
    if (FAILED(result) || !bound.control) {
        whyNot = FAILED(result) ? statusFromHresult(result) : bound.status;
        return nullptr;
    }
    host->m_dispatch = std::move(bound.control);

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
