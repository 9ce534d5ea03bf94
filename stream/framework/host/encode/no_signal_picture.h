#pragma once

#include <cstdint>

// Why the input gives no picture.
enum class PictureLoss { NO_SIGNAL, NO_LOCK, OUT_OF_RANGE, DEVICE_GONE };

// "NO SIGNAL", "NO LOCK", "OUT OF RANGE", "DEVICE GONE": what the picture says.
const char* PictureLossText(PictureLoss why);

// The picture a stream shows while its input gives none: the stream's own size
// (so that receivers carry on), a dark background and, in large letters, why.
// Width and height even; full_range for a stream that says full-range levels.
void DrawNoSignalPicture(PictureLoss why, bool full_range, uint8_t* y, int y_stride, uint8_t* uv,
                         int uv_stride, int width, int height);
