// Positioning: star positions measured on a monochrome image, either as the centre of
// gravity inside a circle round a clicked point (centroid) or as every local peak of a
// dragged rectangle that stands out from the image's background (detection). The rows,
// their text outputs and the table extension 'Vantorel Pos data' live here; the image
// window routes the mouse to it and draws the crosses it hands over.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/wintypes.h"

class CImage;
class CPixelMove;
class CRalImage;

class CPositioningItem {
 public:
  enum Method { CENTROID = 0, SEARCH = 1 };
  virtual ~CPositioningItem() = default;
  // The tracked rectangle, left ≤ right and top ≤ bottom, in 0-based image pixels.
  int m_nLeft = 0, m_nTop = 0, m_nRight = 0, m_nBottom = 0;
  int m_nMethod = CENTROID;
  int m_bDeleted = 0;
  double m_dX = 0.0, m_dY = 0.0;
  // Centroid rows: the area mode when measured; restored rows 1; detected rows 0.
  int m_nAreaMode = 0;
};

class CPositioning {
 public:
  enum Method { CENTROID = 0, SEARCH = 1 };
  enum AreaMode { AUTO = 0, SEMI = 1 };
  enum DragState { IDLE = 0, DRAGGING = 1, DONE = 2 };
  // The half size of the automatic centroid square.
  static constexpr int kAutoHalf = 10;
  static constexpr double kMinFactor = 0.1, kMaxFactor = 3.0;

  // Measures the rectangle (0-based pixels, inclusive, any order) on the image with the
  // current method. Returns the number of rows added.
  int Measure(CRalImage* image, int left, int top, int right, int bottom);
  // The measuring square of a click at (x, y) for the centroid method: the radius in
  // semi-automatic mode, 10 pixels in automatic mode.
  RECT CentroidSquare(int x, int y) const;
  // Appends the item unless a live row has the same position rounded to whole pixels;
  // the new row becomes current. 1 when added.
  int AddItem(const CPositioningItem& item);

  void SelectRow(int row) { m_nCurrent = row; }
  int GetCurrentRow() const { return m_nCurrent; }
  // Removes a row from the array; 1 when it existed.
  int DeleteRow(int row);
  void DeleteAllMarks();
  int GetLiveCount() const;
  // The rows go with the pixels through a move that keeps positions, onto image (the moved
  // one): each position where the move takes it, its measuring area turned round it and
  // shifted with it. A row whose position leaves the image goes; a drag under way is
  // dropped. Returns the number of rows dropped.
  int FollowPixelMove(const CPixelMove& move, CRalImage* image);
  // Trades the rows and the list state with other, the settings staying: undo hands back
  // the rows of the image it takes back.
  void SwapMarks(CPositioning& other);
  int GetItemCount() const { return static_cast<int>(m_Items.size()); }
  const CPositioningItem& GetItem(int row) const {
    return m_Items.at(static_cast<std::size_t>(row));
  }

  // The dialog's list line of a live row (UTF-8), numbered from 1.
  std::string FormatListLine(int row, int number) const;
  // The text file: column text or CSV (UTF-8, as the command line prints it).
  std::string FormatText(bool csv) const;
  // Writes the text file; CSV when the name ends in ".csv". 1 on success.
  int WriteText(const std::string& path) const;
  // Replaces the image's 'Vantorel Pos data' extension by the live rows (none added when
  // there are none). 1 when a table was added.
  int WriteExtension(CImage& image) const;
  static void RemoveExtension(CImage& image);
  // Asks whether to restore the rows of an extension the image carries; on Yes appends
  // them as stored, without measuring. Returns the number restored.
  int RestoreExtension(CRalImage* image);

  void SetMethod(int method) { m_nMethod = method; }
  int GetMethod() const { return m_nMethod; }
  // Keeps the factor within 0.1 … 3.0.
  void SetFactor(double factor);
  double GetFactor() const { return m_dFactor; }
  void SetAreaMode(int mode) { m_nAreaMode = mode; }
  int GetAreaMode() const { return m_nAreaMode; }
  // Keeps the radius within 1 … 9999.
  void SetRadius(int radius);
  int GetRadius() const { return m_nRadius; }
  void SetImage(CRalImage* image) { m_pImage = image; }
  const CRalImage* GetImage() const { return m_pImage; }
  CRalImage* GetImage() { return m_pImage; }

  void HideMarks() { m_bVisible = 0; }
  void ShowMarks() { m_bVisible = 1; }
  int AreMarksVisible() const { return m_bVisible; }

  // Drag state and the tracked rectangle, as the window's mouse routing keeps them.
  int m_nDragState = IDLE;
  RECT m_Rect{};

 private:
  int MeasureCentroid(const CRalImage& image, const RECT& tracked, const RECT& clipped);
  int MeasureSearch(const CRalImage& image, const RECT& tracked, const RECT& clipped);

  int m_nCurrent = -1;
  double m_dFactor = 0.5;
  int m_bVisible = 1;
  std::vector<int> m_HalfWidths, m_HalfHeights;
  CRalImage* m_pImage = nullptr;
  int m_nMethod = CENTROID;
  int m_nAreaMode = AUTO;
  int m_nRadius = 30;
  std::vector<CPositioningItem> m_Items;
  // Rounded positions of the live rows, rebuilt after rows were deleted or restored, so
  // that a detection of many peaks does not compare each with every row.
  std::unordered_set<std::uint64_t> m_Rounded;
  bool m_bRoundedValid = true;
};
