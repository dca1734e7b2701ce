#pragma once

#include "automation/device_control.h"
#include "device_control_host.h"
#include "window_description.h"

#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

class QTimer;

namespace velmora {

class CardControl;
class IndicatorBox;

// The monitor's one window, built from its description, and the operations it offers the
// handlers: the device control, the indicators' values, the timer's Enabled, unload and end.
class MonitorWindow final : public QWidget {
    Q_OBJECT

public:
    // Makes a fresh host for what stands at the device control's place, as a child of
    // `container`, each time it is called; the window takes it over.
    using HostFactory = std::function<std::unique_ptr<DeviceControlHost>(QWidget *container)>;

    MonitorWindow(const WindowDescription &description, const HostFactory &makeHost,
                  QWidget *parent = nullptr);
    // With the device control this program supplies, driving the control's card; the window
    // takes the control over.
    MonitorWindow(const WindowDescription &description, std::unique_ptr<CardControl> control,
                  QWidget *parent = nullptr);
    ~MonitorWindow() override;

    DeviceControl &deviceControl() noexcept { return *m_deviceControl; }
    IndicatorBox &btnInput(int index) { return *m_indicators.at(static_cast<std::size_t>(index)); }

    bool timerEnabled() const;
    // Enabling a running timer leaves its count alone, so the cadence stays even.
    void setTimerEnabled(bool enabled);

    // Closes the window and stops its timer; the program ends with its only window.
    // Does nothing once the program is ending.
    void unload();

    // Ends the program at once with `exitStatus`: the timer stops, no further event is
    // handled, and the controls are released as the window is destroyed.
    void end(int exitStatus = 0);
    bool isEnding() const noexcept { return m_ending; }

    // Connects `handler` to a control's event by their names, matched without regard to case.
    // Returns false where the window has no such control or the control no such event.
    bool connectEvent(std::string_view control, std::string_view event,
                      std::function<void()> handler);

    // The widget built for a control: "Initcmd", "btnInput(3)", "Frame1".
    QWidget *control(const QString &name);
    QTimer &timer() noexcept { return *m_timer; }
    DeviceControlHost &deviceControlHost() noexcept { return *m_deviceHost; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void build(const WindowDescription &description, const HostFactory &makeHost);
    QWidget *makeControl(const ControlRow &row, QWidget *container, const HostFactory &makeHost);

    QTimer *m_timer = nullptr;
    DeviceControlHost *m_deviceHost = nullptr;
    std::array<IndicatorBox *, IndicatorCount> m_indicators{};
    std::optional<DeviceControl> m_deviceControl;
    bool m_ending = false;
};

} // namespace velmora
