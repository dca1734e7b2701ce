#include "caption_fit.h"

#include <QFontInfo>

#include <algorithm>

namespace velmora {

namespace {
constexpr qreal Step = 0.25;
}

QFont fittedFont(QFont font, const std::function<bool(const QFont &)> &fits)
{
    // A pixel-sized font has no point size to step; it is fitted in points from its equivalent.
    if (font.pointSizeF() <= 0)
        font.setPointSizeF(QFontInfo(font).pointSizeF());
    while (!fits(font) && font.pointSizeF() > LegiblePoints)
        font.setPointSizeF(std::max(LegiblePoints, font.pointSizeF() - Step));
    return font;
}

} // namespace velmora
