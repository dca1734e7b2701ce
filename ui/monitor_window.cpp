#include "monitor_window.h"

#include "card_control.h"
#include "device_control_host.h"
#include "device_control_widget.h"
#include "indicator_box.h"
#include "twips.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
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

QString controlName(const ControlSpec &spec)
{
    if (spec.index == ControlSpec::NotInArray)
        return qstr(spec.name);
    return QStringLiteral("%1(%2)").arg(qstr(spec.name)).arg(spec.index);
}

bool sameName(std::string_view a, QStringView b)
{
    return qstr(a).compare(b, Qt::CaseInsensitive) == 0;
}

QRect twipsRect(const ControlSpec &spec)
{
    return {twipsToPixels(spec.left), twipsToPixels(spec.top), twipsToPixels(spec.width),
            twipsToPixels(spec.height)};
}

QFont labelFont(const FontSpec &spec)
{
    const QString face = qstr(spec.face);
    // Where the described face is missing, the platform's own sans face stands in for it.
    if (!QFontDatabase::hasFamily(face)) {
        QFont::insertSubstitutions(
            face, {QStringLiteral("Microsoft Sans Serif"),
                   QFontDatabase::systemFont(QFontDatabase::GeneralFont).family()});
    }
    QFont font(face);
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(spec.points);
    font.setWeight(QFont::Weight(spec.weight));
    font.setItalic(spec.italic);
    font.setUnderline(spec.underline);
    font.setStrikeOut(spec.strikeout);
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
    : MonitorWindow(
          description,
          [&control](QWidget *container) {
              return new DeviceControlWidget(std::move(control), container);
          },
          parent)
{}

MonitorWindow::~MonitorWindow() = default;

QWidget *MonitorWindow::makeControl(const ControlSpec &spec, QWidget *container,
                                    const HostFactory &makeHost)
{
    const QString caption = qstr(spec.caption);
    switch (spec.kind) {
    case ControlKind::DeviceControl:
        m_deviceHost = makeHost(container);
        if (m_deviceHost != nullptr)
            m_deviceControl.emplace(m_deviceHost->dispatch());
        return m_deviceHost;
    case ControlKind::PushButton:
        return new QPushButton(caption, container);
    case ControlKind::CheckBox: {
        auto *box = new IndicatorBox(caption, container);
        m_indicators.at(static_cast<std::size_t>(spec.index)) = box;
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
    std::vector<std::pair<const ControlSpec *, QWidget *>> built;
    const auto make = [&](const ControlSpec &spec) {
        const auto container = containers.find(qstr(spec.container));
        if (container == containers.end())
            throw std::logic_error("window description: no container " +
                                   std::string(spec.container));
        QWidget *widget = makeControl(spec, container->second, makeHost);
        if (widget == nullptr)
            return;
        widget->setObjectName(controlName(spec));
        QRect geometry = twipsRect(spec);
        if (spec.kind == ControlKind::DeviceControl)
            geometry.setSize(widget->size());
        widget->setGeometry(geometry);
        built.emplace_back(&spec, widget);
        if (spec.kind == ControlKind::Frame)
            containers.emplace(controlName(spec), widget);
    };
    for (const ControlSpec &spec : description.controls)
        if (spec.kind == ControlKind::Frame)
            make(spec);
    for (const ControlSpec &spec : description.controls)
        if (spec.kind != ControlKind::Frame)
            make(spec);

    // Stacking: raise back to front, so the first row of each container ends up in front.
    for (const ControlSpec &spec : description.controls | std::views::reverse) {
        const auto it = std::ranges::find(built, &spec, &decltype(built)::value_type::first);
        if (it != built.end())
            it->second->raise();
    }

    // The label keeps its described font; where the stand-in face runs wider than the one it
    // replaces, the label widens to the right, into empty space, rather than clip its caption.
    for (const auto &[spec, widget] : built) {
        if (qstr(spec->name) != qstr(description.labelName))
            continue;
        widget->setFont(labelFont(description.labelFont));
        const int needed = widget->fontMetrics().horizontalAdvance(qstr(spec->caption)) + 1;
        widget->resize(std::max(widget->width(), needed), widget->height());
    }

    // Focus runs by tab index; controls without one take no focus.
    std::vector<std::pair<int, QWidget *>> order;
    for (const auto &[spec, widget] : built) {
        const bool focusable =
            spec->kind == ControlKind::PushButton || spec->kind == ControlKind::CheckBox;
        if (focusable && spec->tabIndex != ControlSpec::NoTabIndex)
            order.emplace_back(spec->tabIndex, widget);
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

QWidget *MonitorWindow::control(const QString &name) const
{
    return findChild<QWidget *>(name);
}

bool MonitorWindow::connectEvent(std::string_view controlName, std::string_view event,
                                 std::function<void()> handler)
{
    if (sameName(controlName, m_timer->objectName())) {
        if (!sameName(event, u"Timer"))
            return false;
        connect(m_timer, &QTimer::timeout, this, handler);
        return true;
    }
    const auto children = findChildren<QAbstractButton *>();
    const auto it = std::ranges::find_if(
        children, [&](const QAbstractButton *b) { return sameName(controlName, b->objectName()); });
    if (it == children.end() || !sameName(event, u"Click"))
        return false;
    connect(*it, &QAbstractButton::clicked, this, handler);
    return true;
}

} // namespace velmora
