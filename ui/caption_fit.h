#pragma once

#include <QFont>

#include <functional>

namespace velmora {

// Below this a caption is no longer comfortably legible; fitting shrinks a font no further.
inline constexpr qreal LegiblePoints = 7.0;

// The largest font, `font` itself or smaller in quarter-point steps down to LegiblePoints, for
// which `fits` holds; LegiblePoints where none does. The window's geometry is fixed in twips,
// so a caption that outgrows its control at the user's font gives way, not the control.
QFont fittedFont(QFont font, const std::function<bool(const QFont &)> &fits);

} // namespace velmora
