// Rectangle photometry: a drag measures the pixels of a rectangle (count, total, mean,
// minimum, maximum, values as they are). The rows, the text and clipboard outputs and
// the table extension 'Vantorel PhoR data' live here.
//
// Table layout: the declared column starts 1, 5, 10, 15, 20, 25, 34, 55, 76, 97 and the
// row width 116 are kept exactly; the data number and the left x stand side by side
// ("%4d%4d") and every later field is preceded by one blank:
// "%4d%4d %4d %4d %4d %8lu %20.8f %20.8f %20.8f %20.8f".
#pragma once

#include <string>
#include <vector>

#include "platform/wintypes.h"

class CImage;
class CPixelMove;

class CApertureRectItem {
 public:
  virtual ~CApertureRectItem() = default;
  int m_bDeleted = 0;
  int m_nLeft = 0, m_nTop = 0, m_nRight = 0, m_nBottom = 0;  // 0-based, inclusive
  unsigned int m_nPixels = 0;
  double m_dTotal = 0.0, m_dMin = 0.0, m_dMax = 0.0, m_dMean = 0.0;
};

class CApertureRect {
 public:
  enum DragState { IDLE = 0, DRAGGING = 1, DONE = 2 };

  void SetImage(const CImage* image) { m_pImage = image; }
  const CImage* GetImage() const { return m_pImage; }
  // A drag in image pixels; Finish measures when both x and y differ between the corners
  // and returns 1 when a row was added.
  bool StartDrag(POINT point);
  void TrackDrag(POINT point);
  int FinishDrag(POINT point);
  int GetDragState() const { return m_nDragState; }
  // The rectangle being dragged (inclusive corners in image pixels).
  RECT GetDragRect() const;

  // Measures the rectangle between two corners on the image, clipped to the image, and
  // appends it unless an identical one exists. A rectangle with no pixel on the image
  // (clipping would turn its bounds over) is not added. Returns 1 when added.
  int Measure(int x1, int y1, int x2, int y2);
  // Removes a row (index among the rows not deleted); 1 on success.
  int DeleteRow(int row);
  void DeleteAll();
  int GetLiveCount() const;
  // The rectangles go with the pixels through a move that keeps positions, onto image (the
  // moved one); their statistics stay, the pixels being the same. A rectangle with a
  // corner outside the new image goes; a drag under way is dropped. Returns the number of
  // rectangles dropped.
  int FollowPixelMove(const CPixelMove& move, const CImage* image);
  // Trades the rows and the drag with other: undo hands back the rows of the image it
  // takes back.
  void SwapMarks(CApertureRect& other);
  // The rows not deleted, in order.
  std::vector<const CApertureRectItem*> LiveRows() const;
  int GetCurrent() const { return m_nCurrent; }
  void SetCurrent(int i) { m_nCurrent = i; }
  int GetItemCount() const { return static_cast<int>(m_Items.size()); }
  const CApertureRectItem& GetItem(int i) const { return m_Items.at(static_cast<std::size_t>(i)); }

  void HideMarks();
  void ShowAllMarks();
  int AreMarksVisible() const { return m_bVisible; }
  bool IsItemDrawn(int i) const;

  // Texts (UTF-8): a list line of a live row, the text file, the clipboard text.
  std::string FormatListLine(int row) const;
  std::string FormatText(bool csv) const;
  std::string FormatClipboard() const;
  int WriteText(const std::string& path) const;
  int WriteExtension(CImage& image) const;
  static void RemoveExtension(CImage& image);
  // Asks, then restores the rows of the image's extension as stored. Returns the number
  // of rows restored.
  int RestoreExtension(const CImage* image);

 private:
  struct Shown {
    int left, top, right, bottom;
  };
  Shown ShownBounds(const CApertureRectItem& item) const;

  int m_nCurrent = -1;
  int m_bVisible = 1;
  int m_nFirstVisible = 0;
  POINT m_Anchor{}, m_Point{};
  int m_nDragState = IDLE;
  const CImage* m_pImage = nullptr;
  std::vector<CApertureRectItem> m_Items;
};
