#pragma once

#include <QRect>
#include <QtGlobal>

// The windows are designed in twips, 15 to the pixel at 96 dots per inch.
namespace talkmere::twips {

inline constexpr int kPerPixel = 15;

inline int toPixels(double twips) {
    return qRound(twips / kPerPixel);
}
inline double fromPixels(int pixels) {
    return static_cast<double>(pixels) * kPerPixel;
}

inline QRect rect(int left, int top, int width, int height) {
    return {toPixels(left), toPixels(top), toPixels(width), toPixels(height)};
}

} // namespace talkmere::twips
