// velmora_floor: the floor the measuring command compares velmora with. The same 22 widgets at
// the same pixels, built by hand from stock Qt classes, and a 100 ms timer whose slot makes the
// same sixteen writes from the same two card reads, with nothing in between: no device control,
// no dispatch, no automation values. Whatever velmora costs beyond this is its own overhead.

#include "simulated/simulated_card.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace velmora;

namespace {

// Where velmora puts each indicator, in pixels relative to its parent: D1..D3 sit on the
// window itself, the other thirteen in the frame.
struct Cell {
    bool inFrame;
    int x, y;
};
constexpr std::array<Cell, 16> Cells{{
    {true, 16, 48},   {false, 56, 56},  {false, 88, 56},  {false, 120, 56},
    {true, 144, 48},  {true, 176, 48},  {true, 208, 48},  {true, 240, 48},
    {true, 16, 88},   {true, 48, 88},   {true, 80, 88},   {true, 112, 88},
    {true, 144, 88},  {true, 176, 88},  {true, 208, 88},  {true, 240, 88},
}};
constexpr QSize BoxSize{33, 25};
constexpr QSize ButtonSize{81, 33};
constexpr int LinesPerPort = 8;

[[noreturn]] void fail(const DispatchStatus &status)
{
    std::fprintf(stderr, "velmora_floor: %s\n", status.description.c_str());
    std::exit(1);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);

    SimulatedCard card; // the state file velmora-sim edits, as velmora's default card uses
    if (const DispatchStatus status = card.open(); status.failed)
        fail(status);

    QWidget window;
    window.setWindowTitle(QStringLiteral("Velmora floor"));
    window.setFixedSize(304, 191);

    auto *frame = new QGroupBox(&window);
    frame->setGeometry(8, 8, 289, 177);
    auto *label = new QLabel(QStringLiteral("Input:"), frame);
    label->setGeometry(24, 16, 31, 16);
    label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
    auto *select = new QPushButton(QStringLiteral("Select Device"), frame);
    select->setGeometry({{176, 136}, ButtonSize});

    std::array<QCheckBox *, 16> boxes{};
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        QWidget *parent = Cells[i].inFrame ? static_cast<QWidget *>(frame) : &window;
        boxes[i] = new QCheckBox(QStringLiteral("D%1").arg(i), parent);
        boxes[i]->setGeometry({{Cells[i].x, Cells[i].y}, BoxSize});
    }

    auto *exitButton = new QPushButton(QStringLiteral("Exit"), &window);
    exitButton->setGeometry({{24, 144}, ButtonSize});
    auto *initial = new QPushButton(QStringLiteral("Initial"), &window);
    initial->setGeometry({{104, 144}, ButtonSize});

    // The device caption, in velmora's smaller, quieter type.
    auto *caption = new QLabel(QString::fromStdString(card.info().name), &window);
    QFont small = caption->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    caption->setFont(small);
    caption->setForegroundRole(QPalette::PlaceholderText);
    caption->setGeometry(96, 16, 192, 18);

    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(100);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        for (int port = 0; port < 2; ++port) {
            std::int16_t value = 0;
            if (const DispatchOutcome read = card.readPort(port, value); read.status.failed)
                fail(read.status);
            for (int bit = 0; bit < LinesPerPort; ++bit)
                boxes[std::size_t(port * LinesPerPort + bit)]->setChecked((value >> bit) & 1);
        }
    });
    QObject::connect(initial, &QPushButton::clicked, [&] {
        // The same mode set velmora sends: every port an input.
        if (const DispatchOutcome set = card.configurePorts(0, 0x9B); set.status.failed)
            fail(set.status);
        if (!timer.isActive())
            timer.start();
    });
    QObject::connect(exitButton, &QPushButton::clicked, &app, &QApplication::quit);

    boxes[0]->setFocus();
    window.show();
    return QApplication::exec();
}
