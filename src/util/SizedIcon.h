#pragma once

#include <QIcon>
#include <QSize>

// Icons for places that show them large. The style's stand-in icons come at 16 pixels only, and a view
// or tool bar shows such an icon at that size in the middle of its larger space.
class SizedIcon
{
public:
    // `icon` with a picture drawn at `size` added when it has none that large.
    static QIcon atSize(const QIcon& icon, const QSize& size);
};
