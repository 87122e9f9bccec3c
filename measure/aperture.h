// Circular aperture photometry: each measurement is a star disc and a sky annulus round
// the same centre, measured at once; the sky-subtracted brightness of the star is the
// result. The marks, their statistics, the list rows, the text outputs and the table
// extension 'Vantorel Phot data' live here; the image window routes the mouse to it and
// draws what it hands over.
#pragma once

#include <string>
#include <vector>

#include "platform/wintypes.h"

class CImage;
class CPixelMove;
class CRalImage;

// The integer midpoint circle on max(a, b), scaled to the ellipse a × b: the largest |dx|
// per |dy| (perDy, 0 … b) and the largest |dy| per |dx| (perDx, 0 … a).
void MidpointTables(int a, int b, std::vector<int>* perDy, std::vector<int>* perDx);

class CApertureMark {
 public:
  enum Type { STAR = 0, SKY = 1 };
  enum Shape { CIRCLE = 0, ELLIPSE = 1, SQUARE = 2, RECTANGLE = 3 };
  enum EditState { IDLE = 0, DRAWING = 1, MOVING = 2, RESIZING = 3, FINISHED = 4 };
  enum Method { AUTO = 0, SEMI = 1, SEMICTRD = 2 };
  static constexpr double kMaxRadius = 1002.0;

  virtual ~CApertureMark() = default;

  // Stores centre and radii (inner −1: no hole), limits the radii to 1002 keeping an
  // annulus's width, rebuilds the boundary tables and measures on the image.
  void SetGeometry(double cx, double cy, double outerX, double outerY, double innerX, double innerY,
                   const CImage* image);
  // Whether a 0-based pixel belongs to the region.
  bool Contains(int px, int py) const;
  // The region's bounding box (right and bottom exclusive) clipped to the image.
  RECT GetBox(const CImage& image) const;
  // Counts and sums the region's pixels, each truncated toward zero; blanks are left out.
  void Measure(const CImage& image);
  // Sums the pixels (truncated as in Measure) that belong to both this mark and other
  // over this mark's box; returns their count.
  int Overlap(const CApertureMark& other, const CImage& image, double* sum) const;
  // The boundary of the region along pixel edges, as segments in image pixel corners
  // (x1, y1, x2, y2), for drawing.
  void GetOutline(std::vector<RECT>* segments) const;
  // A drag step in edit states 1 to 3 (the pointer in image pixels); the tables are
  // rebuilt and the mark measured again.
  void Track(POINT point, const CImage* image);
  // Starts an edit: state, anchor and the saved geometry.
  void BeginEdit(int state, POINT anchor);

  int m_nType = STAR;
  int m_nShape = CIRCLE;
  int m_nEditState = IDLE;
  int m_bDeleted = 0;
  int m_nNumber = -1;
  int m_nPixels = 0;
  int m_nMethod = AUTO;
  double m_dTotal = 0.0;
  double m_dVariance = 0.0;
  double m_dStdDev = 0.0;
  double m_dCx = 0.0, m_dCy = 0.0;
  double m_dOuterX = 0.0, m_dOuterY = 0.0;
  double m_dInnerX = -1.0, m_dInnerY = -1.0;
  POINT m_Anchor{};
  double m_dSavedCx = 0.0, m_dSavedCy = 0.0;
  double m_dSavedOuterX = 0.0, m_dSavedOuterY = 0.0;
  double m_dSavedInnerX = -1.0, m_dSavedInnerY = -1.0;
  // Largest |dx| per |dy| and largest |dy| per |dx|, of the outer and the inner boundary.
  std::vector<int> m_OuterDx, m_OuterDy, m_InnerDx, m_InnerDy;

 private:
  void LimitRadii();
  void BuildTables();
  // Calls span(y, x0, x1) for each run [x0, x1) of member pixels inside box.
  template <typename Span>
  void ForEachSpan(const RECT& box, Span span) const;
  bool Round() const { return m_nShape == CIRCLE || m_nShape == ELLIPSE; }
};

class CApertureItem {
 public:
  enum Kind { STAR = 0, SKY = 1, RESULT = 2 };
  virtual ~CApertureItem() = default;
  int m_nKind = STAR;
  int m_nNumber = 0;
  int m_nMark = -1;
  int m_bSelected = 0;
  double m_dResult = 0.0;
};

class CAperture {
 public:
  // Adds a measurement at the 0-based pixel; returns 1, or 0 when the automatic method
  // could not take the star (nothing is added) or the image is missing or in colour.
  int AddStar(int x, int y, CRalImage* image);
  // Adds a measurement with the given geometry (0-based centre, star radius, sky ring from
  // skyInner to skyOuter) as a semi-automatic one, measured on the image; 1 when added.
  int AddMeasurement(double cx, double cy, double starR, double skyInner, double skyOuter,
                     CRalImage* image);
  void SetParams(int shape, int method, int starR, int skyIR, int skyDR, int searchG, int searchR);
  void GetParams(int* shape, int* method, int* starR, int* skyIR, int* skyDR, int* searchG,
                 int* searchR) const;
  void GetDefaults(int* starR, int* skyIR, int* skyDR, int* searchR) const;

  // Rebuilds the list rows from the marks.
  void UpdateItems();
  // Removes the measurement of a list row and renumbers; 1 when something was removed.
  int DeleteMeasurement(int row);
  void DeleteAllMarks();
  int GetLiveCount() const;
  // The marks go with the pixels through a move that keeps positions, onto image (the
  // moved one): each measurement where its star's centre lands, the sky round it as it
  // stood, radii turned with the axes, everything measured anew. A measurement whose star
  // leaves the image goes (numbers are kept, as in the moved table). Returns the number of
  // measurements dropped.
  int FollowPixelMove(const CPixelMove& move, CRalImage* image);
  // Trades the marks and the list state (numbers, selection, what is shown) with other,
  // the settings staying: undo hands back the marks of the image it takes back.
  void SwapMarks(CAperture& other);

  int GetMarkCount() const { return static_cast<int>(m_Marks.size()); }
  const CApertureMark& GetMark(int i) const { return m_Marks.at(static_cast<std::size_t>(i)); }
  CApertureMark& GetMark(int i) { return m_Marks.at(static_cast<std::size_t>(i)); }
  int GetItemCount() const { return static_cast<int>(m_Items.size()); }
  const CApertureItem& GetItem(int row) const { return m_Items.at(static_cast<std::size_t>(row)); }
  // Statistics of a row's mark: count, total, mean (0 for no pixels), deviation.
  void GetRowStats(int row, int* count, double* total, double* mean, double* sd) const;
  int GetNextNumber() const { return m_nNextNumber; }
  int GetSelected() const { return m_nSelected; }
  void SetSelected(int mark) { m_nSelected = mark; }
  const CRalImage* GetImage() const { return m_pImage; }
  CRalImage* GetImage() { return m_pImage; }
  void SetImage(CRalImage* image) { m_pImage = image; }

  // Editing a measurement with the mouse, in image pixels. PickMeasurement gives the
  // STAR mark of the drawn measurement whose outer edge, widened by tolerance, holds
  // (x, y), the nearest centre first; -1 when there is none.
  int PickMeasurement(double x, double y, double tolerance) const;
  // Moving takes both marks of the measurement of star mark `star` (the sky ring goes
  // with its star); resizing takes the one of the two whose edge lies nearer the anchor.
  // Each selects what it edits; 1 when the edit began.
  int BeginMove(int star, POINT anchor);
  int BeginResize(int star, POINT anchor);
  // A pointer step of the edit under way: the marks follow, are measured again on the
  // image and the rows are rebuilt. 1 when an edit runs.
  int TrackEdit(POINT point);
  // Ends the edit under way (its marks in the finished state); 1 when one ran.
  int EndEdit();
  bool IsEditing() const;

  // Marks shown: "非表示" and "全表示", and what a click does to them.
  void HideMarks();
  void ShowAllMarks();
  // A click shows the marks again, those made after hiding only.
  void ShowAllMarksAfterClick() { m_bVisible = 1; }
  int AreMarksVisible() const { return m_bVisible; }
  int GetFirstVisible() const { return m_nFirstVisible; }
  // Whether mark i is drawn, and in which role: 0 star, 1 sky, 2 highlighted.
  bool IsMarkDrawn(int i) const;

  // The dialog's list line of a row (UTF-8).
  std::string FormatListLine(int row) const;
  // The text file: column text or CSV (UTF-8, as the command line prints it).
  std::string FormatText(bool csv);
  // Writes the text file; CSV when the name ends in ".csv". 1 on success.
  int WriteText(const std::string& path);
  // Replaces the image's 'Vantorel Phot data' extension by the current measurements
  // (none added when there are none). 1 when a table was added.
  int WriteExtension(CImage& image);
  static void RemoveExtension(CImage& image);
  // Asks whether to restore the marks of an extension the image carries; on Yes, adds
  // them measured anew on the image. Returns the number of measurements restored.
  int RestoreExtension(CRalImage* image);

  static const char* MethodText(int method);

 private:
  void CorrectedSky(std::size_t skyMark, int star, int* count, double* total) const;
  // Appends a star disc and its sky ring (radii skyInner … skyOuter), numbered next, and
  // selects the ring.
  void AddPair(double cx, double cy, double starR, double skyInner, double skyOuter, int method,
               CRalImage* image);

  int m_nNextNumber = 1;
  int m_nShapeFlag = 0;
  int m_nMethod = 1;
  int m_nStarR = 5, m_nSkyIR = 10, m_nSkyDR = 2, m_nSearchR = 3;
  int m_bSearchG = 0;
  static constexpr int kDefStarR = 5, kDefSkyIR = 10, kDefSkyDR = 2, kDefSearchR = 3;
  int m_bVisible = 1;
  int m_nFirstVisible = 0;
  CRalImage* m_pImage = nullptr;
  int m_nSelected = -1;
  int m_nSelected2 = -1;
  std::vector<CApertureItem> m_Items;
  std::vector<CApertureMark> m_Marks;
};
