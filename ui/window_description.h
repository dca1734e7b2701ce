#pragma once

#include <chrono>
#include <span>
#include <string_view>

namespace velmora {

enum class ControlKind { DeviceControl, PushButton, CheckBox, Frame, Label, Timer };

// One control of the window. Positions and sizes are in twips, relative to the container.
struct ControlRow {
    std::string_view name; // "btnInput" for every element of the indicator array
    int index;             // element of a control array, or NotInArray
    ControlKind kind;
    std::string_view container; // the window's own name, or "Frame1"
    std::string_view caption;
    int left, top, width, height;
    int tabIndex; // or NoTabIndex

    static constexpr int NotInArray = -1;
    static constexpr int NoTabIndex = -1;
    static constexpr int OwnSize = -1; // the device control sizes itself
    static constexpr int NotShown = -1;
};

struct FontDescription {
    std::string_view face;
    double points;
    int weight; // 400 normal, 700 bold
    int charset;
    bool italic, underline, strikeout;
};

// One row of the event routing: a handler named control_event, matched without regard to case.
struct EventRoute {
    std::string_view control;
    std::string_view event;
    std::string_view handler;
};

// Control, event and handler names match without regard to case: exit_Click serves Exit.
bool sameName(std::string_view a, std::string_view b);

struct WindowDescription {
    std::string_view name;
    std::string_view caption;
    int clientWidth, clientHeight; // twips
    // Rows in stacking order, front to back within each container; the window's own children
    // come first and stand in front of Frame1 and all it holds.
    std::span<const ControlRow> controls;
    std::string_view labelName;
    FontDescription labelFont;
    std::chrono::milliseconds timerInterval;
    bool timerEnabled;
    std::span<const EventRoute> routes;
};

// The monitor's window, exactly as the program shows it.
const WindowDescription &velmoraWindow();

inline constexpr int IndicatorCount = 16;

} // namespace velmora
