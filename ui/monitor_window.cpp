#include "monitor_window.h"

#include "caption_button.h"
#include "cards/card_control.h"
#include "device_control_host.h"
#include "device_control_widget.h"
#include "indicator_box.h"
#include "twips.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QTimer>

#include <algorithm>
#include <map>
#include <ranges>
#include <stdexcept>
#include <vector>

namespace velmora {

namespace {

QString qstr(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString controlName(const ControlRow &row)
{
    if (row.index == ControlRow::NotInArray)
        return qstr(row.name);
    return QStringLiteral("%1(%2)").arg(qstr(row.name)).arg(row.index);
}

QRect twipsRect(const ControlRow &row)
{
    return {twipsToPixels(row.left), twipsToPixels(row.top), twipsToPixels(row.width),
            twipsToPixels(row.height)};
}

QFont labelFont(const FontDescription &row)
{
    const QString face = qstr(row.face);
    // Where the described face is missing, the platform's own sans face stands in for it.
    if (!QFontDatabase::hasFamily(face)) {
        QFont::insertSubstitutions(
            face, {QStringLiteral("Microsoft Sans Serif"),
                   QFontDatabase::systemFont(QFontDatabase::GeneralFont).family()});
    }
    QFont font(face);
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(row.points);
    font.setWeight(QFont::Weight(row.weight));
    font.setItalic(row.italic);
    font.setUnderline(row.underline);
    font.setStrikeOut(row.strikeout);
    return font;
}

} // namespace

MonitorWindow::MonitorWindow(const WindowDescription &description, const HostFactory &makeHost,
                             QWidget *parent)
    : QWidget(parent)
{
    build(description, makeHost);
}

MonitorWindow::MonitorWindow(const WindowDescription &description,
                             std::unique_ptr<CardControl> control, QWidget *parent)
    : QWidget(parent)
{
    // One control, one host: the description names a single device control.
    build(description, [&control](QWidget *container) -> std::unique_ptr<DeviceControlHost> {
        if (control == nullptr)
            throw std::logic_error("window description: more than one device control");
        return std::make_unique<DeviceControlWidget>(std::move(control), container);
    });
}

MonitorWindow::~MonitorWindow() = default;

QWidget *MonitorWindow::makeControl(const ControlRow &row, QWidget *container,
                                    const HostFactory &makeHost)
{
    const QString caption = qstr(row.caption);
    switch (row.kind) {
    case ControlKind::DeviceControl: {
        std::unique_ptr<DeviceControlHost> host = makeHost(container);
        if (host == nullptr)
            return nullptr;
        if (host->parentWidget() != container)
            host->setParent(container);
        m_deviceHost = host.release(); // the container owns it from here, and the window it
        m_deviceControl.emplace(m_deviceHost->dispatch());
        return m_deviceHost;
    }
    case ControlKind::PushButton:
        return new CaptionButton(caption, container);
    case ControlKind::CheckBox: {
        auto *box = new IndicatorBox(caption, container);
        m_indicators.at(static_cast<std::size_t>(row.index)) = box;
        return box;
    }
    case ControlKind::Frame: {
        auto *frame = new QGroupBox(caption, container);
        frame->setFocusPolicy(Qt::NoFocus);
        return frame;
    }
    case ControlKind::Label: {
        auto *label = new QLabel(caption, container);
        label->setFocusPolicy(Qt::NoFocus);
        return label;
    }
    case ControlKind::Timer:
        m_timer = new QTimer(this);
        return nullptr;
    }
    return nullptr;
}

void MonitorWindow::build(const WindowDescription &description, const HostFactory &makeHost)
{
    setObjectName(qstr(description.name));
    setWindowTitle(qstr(description.caption));
    setFixedSize(twipsToPixels(description.clientWidth), twipsToPixels(description.clientHeight));

    // Containers first, so that every control can be given its parent as it is made.
    std::map<QString, QWidget *> containers{{qstr(description.name), this}};
    std::vector<std::pair<const ControlRow *, QWidget *>> built;
    const auto make = [&](const ControlRow &row) {
        const auto container = containers.find(qstr(row.container));
        if (container == containers.end())
            throw std::logic_error("window description: no container " +
                                   std::string(row.container));
        QWidget *widget = makeControl(row, container->second, makeHost);
        if (widget == nullptr)
            return;
        widget->setObjectName(controlName(row));
        QRect geometry = twipsRect(row);
        if (row.kind == ControlKind::DeviceControl)
            geometry.setSize(widget->size());
        widget->setGeometry(geometry);
        built.emplace_back(&row, widget);
        if (row.kind == ControlKind::Frame)
            containers.emplace(controlName(row), widget);
    };
    for (const ControlRow &row : description.controls)
        if (row.kind == ControlKind::Frame)
            make(row);
    for (const ControlRow &row : description.controls)
        if (row.kind != ControlKind::Frame)
            make(row);

    // Stacking: raise back to front, so the first row of each container ends up in front.
    for (const ControlRow &row : description.controls | std::views::reverse) {
        const auto it = std::ranges::find(built, &row, &decltype(built)::value_type::first);
        if (it != built.end())
            it->second->raise();
    }

    // The label keeps its described font; where the stand-in face runs wider than the one it
    // replaces, the label widens to the right, into empty space, rather than clip its caption.
    for (const auto &[row, widget] : built) {
        if (qstr(row->name) != qstr(description.labelName))
            continue;
        widget->setFont(labelFont(description.labelFont));
        const int needed = widget->fontMetrics().horizontalAdvance(qstr(row->caption)) + 1;
        widget->resize(std::max(widget->width(), needed), widget->height());
    }

    // The buttons stand in one row of one size: their captions share one fitted font.
    QStringList buttonCaptions;
    for (const auto &[row, widget] : built)
        if (row->kind == ControlKind::PushButton)
            buttonCaptions << qstr(row->caption);
    for (auto *button : findChildren<CaptionButton *>())
        button->setFittingCaptions(buttonCaptions);

    // Focus runs by tab index; controls without one take no focus.
    std::vector<std::pair<int, QWidget *>> order;
    for (const auto &[row, widget] : built) {
        const bool focusable =
            row->kind == ControlKind::PushButton || row->kind == ControlKind::CheckBox;
        if (focusable && row->tabIndex != ControlRow::NoTabIndex)
            order.emplace_back(row->tabIndex, widget);
        else
            widget->setFocusPolicy(Qt::NoFocus);
    }
    std::ranges::sort(order, {}, &decltype(order)::value_type::first);
    for (std::size_t i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1].second, order[i].second);
    if (!order.empty())
        order.front().second->setFocus(); // taken when the window first shows

    if (m_timer == nullptr || m_deviceHost == nullptr ||
        std::ranges::find(m_indicators, nullptr) != m_indicators.end())
        throw std::logic_error(
            "window description lacks the timer, the device control or an indicator");
    m_timer->setObjectName(QStringLiteral("Timer"));
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setInterval(description.timerInterval);
    setTimerEnabled(description.timerEnabled);
}

bool MonitorWindow::timerEnabled() const
{
    return m_timer->isActive();
}

void MonitorWindow::setTimerEnabled(bool enabled)
{
    if (enabled && !m_timer->isActive())
        m_timer->start();
    else if (!enabled)
        m_timer->stop();
}

void MonitorWindow::unload()
{
    if (m_ending)
        return;
    m_timer->stop();
    close();
}

void MonitorWindow::end(int exitStatus)
{
    m_ending = true;
    m_timer->stop();
    QCoreApplication::exit(exitStatus);
}

void MonitorWindow::closeEvent(QCloseEvent *event)
{
    m_timer->stop();
    QWidget::closeEvent(event);
}

QWidget *MonitorWindow::control(const QString &name)
{
    return findChild<QWidget *>(name);
}

bool MonitorWindow::connectEvent(std::string_view controlName, std::string_view event,
                                 std::function<void()> handler)
{
    if (sameName(controlName, m_timer->objectName().toStdString())) {
        if (!sameName(event, "Timer"))
            return false;
        connect(m_timer, &QTimer::timeout, this, handler);
        return true;
    }
    const auto children = findChildren<QAbstractButton *>();
    const auto it = std::ranges::find_if(children, [&](const QAbstractButton *b) {
        return sameName(controlName, b->objectName().toStdString());
    });
    if (it == children.end() || !sameName(event, "Click"))
        return false;
    connect(*it, &QAbstractButton::clicked, this, handler);
    return true;
}

} // namespace velmora
