// The measurement tables an image carries as table extensions ('Vantorel Phot data',
// 'Vantorel PhoR data' and 'Vantorel Pos data') follow an operation that moves pixels:
// their positions and rectangles are carried to the new pixels, so that a reopened file
// restores each mark on its star.
#pragma once

class CImage;
class CPixelMove;

class CImgTables {
 public:
  // Carries every measurement table of image through move: positions and rectangles go
  // where the move takes them (as the tables store them: 1-based, rows counted from the
  // bottom for an image stored bottom-up); rows that leave the new image are dropped,
  // and a table left without rows goes. When the move does not keep positions
  // (resampling), the tables are removed. image already has the new size. Returns the
  // number of tables removed.
  static int Follow(CImage& image, const CPixelMove& move);
  // The number of measurement tables the image carries.
  static int Count(const CImage& image);
};
