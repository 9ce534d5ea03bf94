#pragma once

#include <string>

#include "image.h"

namespace frames {

// Draws one line of text with its top-left corner at (x, y), anti-aliased,
// in the colour `argb`. The font is DejaVu Sans unless LUMASET_LABEL_FONT
// names another TrueType file. False, with the reason in `error`, when the
// font cannot be loaded.
bool DrawLabel(Image& canvas, int x, int y, int pixel_height, const std::string& text,
               uint32_t argb, std::string& error);

}  // namespace frames
