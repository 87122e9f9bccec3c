// The picture the clipboard peer puts on the clipboard as a PNG, known to the test too.
#pragma once

#include <QColor>

inline constexpr int kPeerWidth = 23, kPeerHeight = 17;
inline QColor PeerColour(int x, int y) {
  return QColor((x * 11) % 256, (y * 15) % 256, (x * y * 3 + 40) % 256);
}
