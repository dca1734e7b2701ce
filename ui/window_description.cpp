#include "window_description.h"

#include <algorithm>
#include <array>

namespace velmora {

namespace {

using K = ControlKind;
constexpr int NoArr = ControlRow::NotInArray;
constexpr int NoTab = ControlRow::NoTabIndex;
constexpr int Own = ControlRow::OwnSize;
constexpr int Hid = ControlRow::NotShown;

// clang-format off
constexpr std::array Controls{
    //         name         index  kind              container  caption          left   top    width  height tab
    ControlRow{"TarvoOcx1", NoArr, K::DeviceControl, "Velmora", "",              1440,   240,  Own,   Own,   NoTab},
    ControlRow{"Initcmd",   NoArr, K::PushButton,    "Velmora", "Initial",       1560,  2160,  1215,  495,   19},
    ControlRow{"Exit",      NoArr, K::PushButton,    "Velmora", "Exit",           360,  2160,  1215,  495,   18},
    ControlRow{"btnInput",  3,     K::CheckBox,      "Velmora", "D3",            1800,   840,   495,  375,    5},
    ControlRow{"btnInput",  2,     K::CheckBox,      "Velmora", "D2",            1320,   840,   495,  375,    4},
    ControlRow{"btnInput",  1,     K::CheckBox,      "Velmora", "D1",             840,   840,   495,  375,    3},
    ControlRow{"Frame1",    NoArr, K::Frame,         "Velmora", "",               120,   120,  4335, 2655,    0},
    ControlRow{"Timer",     NoArr, K::Timer,         "Velmora", "",               Hid,   Hid,   Hid,  Hid,   NoTab},
    ControlRow{"Selectcmd", NoArr, K::PushButton,    "Frame1",  "Select Device", 2640,  2040,  1215,  495,   20},
    ControlRow{"btnInput",  15,    K::CheckBox,      "Frame1",  "D15",           3600,  1320,   495,  375,   17},
    ControlRow{"btnInput",  14,    K::CheckBox,      "Frame1",  "D14",           3120,  1320,   495,  375,   16},
    ControlRow{"btnInput",  13,    K::CheckBox,      "Frame1",  "D13",           2640,  1320,   495,  375,   15},
    ControlRow{"btnInput",  12,    K::CheckBox,      "Frame1",  "D12",           2160,  1320,   495,  375,   14},
    ControlRow{"btnInput",  11,    K::CheckBox,      "Frame1",  "D11",           1680,  1320,   495,  375,   13},
    ControlRow{"btnInput",  10,    K::CheckBox,      "Frame1",  "D10",           1200,  1320,   495,  375,   12},
    ControlRow{"btnInput",  9,     K::CheckBox,      "Frame1",  "D9",             720,  1320,   495,  375,   11},
    ControlRow{"btnInput",  8,     K::CheckBox,      "Frame1",  "D8",             240,  1320,   495,  375,   10},
    ControlRow{"btnInput",  7,     K::CheckBox,      "Frame1",  "D7",            3600,   720,   495,  375,    9},
    ControlRow{"btnInput",  6,     K::CheckBox,      "Frame1",  "D6",            3120,   720,   495,  375,    8},
    ControlRow{"btnInput",  5,     K::CheckBox,      "Frame1",  "D5",            2640,   720,   495,  375,    7},
    ControlRow{"btnInput",  4,     K::CheckBox,      "Frame1",  "D4",            2160,   720,   495,  375,    6},
    ControlRow{"btnInput",  0,     K::CheckBox,      "Frame1",  "D0",             240,   720,   495,  375,    2},
    ControlRow{"Label1",    NoArr, K::Label,         "Frame1",  "Input:",         360,   240,   465,  240,    1},
};

constexpr std::array Routes{
    //         control      event    handler
    EventRoute{"Exit",      "Click", "exit_Click"},
    EventRoute{"Initcmd",   "Click", "Initcmd_Click"},
    EventRoute{"Selectcmd", "Click", "Selectcmd_Click"},
    EventRoute{"Timer",     "Timer", "Timer_Timer"},
};
// clang-format on

constexpr WindowDescription Velmora{
    .name = "Velmora",
    .caption = "Velmora",
    .clientWidth = 4560,
    .clientHeight = 2865,
    .controls = Controls,
    .labelName = "Label1",
    .labelFont = {.face = "MS Sans Serif",
                  .points = 9.75,
                  .weight = 400,
                  .charset = 0,
                  .italic = false,
                  .underline = false,
                  .strikeout = false},
    .timerInterval = std::chrono::milliseconds(100),
    .timerEnabled = false,
    .routes = Routes,
};

} // namespace

bool sameName(std::string_view a, std::string_view b)
{
    const auto fold = [](char c) {
        return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
    };
    return std::ranges::equal(a, b, [&](char x, char y) { return fold(x) == fold(y); });
}

const WindowDescription &velmoraWindow()
{
    return Velmora;
}

} // namespace velmora
