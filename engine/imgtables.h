// The measurement tables an image carries as table extensions ('Vantorel Phot data',
// 'Vantorel PhoR data' and 'Vantorel Pos data') follow an operation that moves pixels:
// their positions and rectangles are carried to the new pixels, so that a reopened file
// restores each mark on its star. The columns those positions stand in are kept here
// once, for the tools that write and read the tables as well as for the carrying.
#pragma once

#include "platform/wintypes.h"

class CImage;
class CPixelMove;

namespace imgtables {

// A field of a table row: its 1-based start column (TBCOL) and its width in characters.
struct Field {
  int tbcol;
  int width;
};

// 'Vantorel Phot data': "%4d %7.2f %7.2f %7.2f ..." (number, star x, y, radius, ...);
// x and y are written limited to 0 … kPhotPosLimit.
inline constexpr int kPhotRowWidth = 193;
inline constexpr Field kPhotX{6, 7}, kPhotY{14, 7};
inline constexpr double kPhotPosLimit = 9999.9;

// 'Vantorel PhoR data': "%4d%4d %4d %4d %4d ..." (number, left, top, right, bottom, ...),
// the bounds limited to 1 … 9999.
inline constexpr int kRectRowWidth = 116;
inline constexpr Field kRectLeft{5, 4}, kRectTop{10, 4}, kRectRight{15, 4}, kRectBottom{20, 4};

// 'Vantorel Pos data': "%4d %7.2f %7.2f %s %4d %4d %4d %4d" (number, x, y, method, left,
// top, right, bottom); x and y limited to 0 … kPosPosLimit, the bounds to 1 … 9999.
inline constexpr int kPosRowWidth = 49;
inline constexpr Field kPosX{6, 7}, kPosY{14, 7};
inline constexpr Field kPosLeft{31, 4}, kPosTop{36, 4}, kPosRight{41, 4}, kPosBottom{46, 4};
inline constexpr double kPosPosLimit = 9999.99;

inline constexpr int kBoundLimit = 9999;

// The turn or mirror of a move (no shift, no wrap) applied to an offset (dx, dy): what
// stands round a position keeps its place relative to that position.
void MoveOffset(const CPixelMove& move, double dx, double dy, double* ndx, double* ndy);
// A rectangle of whole pixels (inclusive bounds) through the move, sorted; false when a
// corner leaves the new image or when the move would tear it apart (a scroll wrapping part
// of it round an edge).
bool MoveRect(const CPixelMove& move, const RECT& in, RECT* out);
// A rectangle (inclusive pixel bounds) that belongs to the position (x, y), which the move
// took to (nx, ny): turned and mirrored round the position and shifted with it (a scroll's
// wrap included), sorted.
RECT MoveAreaWith(const CPixelMove& move, double x, double y, double nx, double ny,
                  const RECT& area);

}  // namespace imgtables

class CImgTables {
 public:
  // Carries every measurement table of image through move: positions and rectangles go
  // where the move takes them (as the tables store them: 1-based, rows counted from the
  // bottom for an image stored bottom-up), each field rewritten in its own width and form
  // and the rest of each row kept byte for byte; rows that leave the new image are
  // dropped, and a table left without rows goes. When the move does not keep positions
  // (resampling), or a table is not laid out as the tools write it, the table is removed.
  // image already has the new size. Returns the number of tables removed.
  static int Follow(CImage& image, const CPixelMove& move);
  // The number of measurement tables the image carries.
  static int Count(const CImage& image);
};
