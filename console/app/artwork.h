#pragma once
// The application icon and the Options banner, drawn rather than shipped as image files, so
// they stay sharp at every scale factor.
#include <QIcon>
#include <QPixmap>

namespace orvane::console {

QIcon AppIcon();
// A band of the given size in logical pixels, at the screen's device pixel ratio.
QPixmap OptionsBanner(int width, int height, qreal devicePixelRatio);

}  // namespace orvane::console
