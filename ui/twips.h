#pragma once

namespace velmora {

// Window descriptions measure in twips: 1440 to the inch, so 15 to a device-independent pixel
// at 96 dots per inch. Qt scales device-independent pixels to the screen, so converting once
// here lands every control on the same pixel at any scale factor.
inline constexpr int TwipsPerInch = 1440;
inline constexpr int PixelsPerInch = 96;

constexpr int twipsToPixels(int twips)
{
    // Round to nearest, symmetrically for negative positions.
    const int scaled = twips * PixelsPerInch;
    return scaled >= 0 ? (scaled + TwipsPerInch / 2) / TwipsPerInch
                       : -((-scaled + TwipsPerInch / 2) / TwipsPerInch);
}

static_assert(twipsToPixels(15) == 1);
static_assert(twipsToPixels(4560) == 304);
static_assert(twipsToPixels(2865) == 191);

} // namespace velmora
