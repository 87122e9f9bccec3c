// Batch stacking: a list of frames added, averaged or combined by their median (either
// of the last two optionally with 3-σ clipping) into a destination, each frame first laid
// on the destination by its centre of gravity above its sky or by image matching. A frame
// that cannot be placed (no confident match, nothing above its sky) is combined unshifted
// and named among the failures and in GetUnaligned.
//
// Memory: the add path holds one frame at a time. The median and the clipped paths need
// every frame for every row; the frames are read once into the pager's images, which
// page out to the swap file beyond the pager's budget, and the rows are combined one at a
// time (CImgMedianComposit), so only one band of each frame is in memory at once.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "batch/batchrun.h"
#include "engine/imgmatching.h"

class CImgMedianComposit;

// Where a frame lies on the destination (see CImgComposit), and whether it could be
// measured: a frame that could not is combined unshifted and reported.
struct StackShift {
  double dx = 0, dy = 0, rotation = 0;
  bool aligned = true;
};

struct BatchCompositSettings {
  enum { kAdd = 0, kAverage = 1, kMedian = 2 };
  int method = kAdd;
  // With add or average: the row path's clipped mean (for add times the count of values).
  bool clipping = false;
  bool align = false;
  int alignMethod = 0;  // 0 centre of gravity, 1 image matching
  MatchingParams matching;
};

class CBatchComposit : public CBatchRun {
 public:
  CBatchComposit(const BatchCompositSettings& settings, std::vector<BatchTarget> targets);
  ~CBatchComposit() override;

  // A new destination copied from a model: `active` when it is one of the targets' images,
  // else the first target that can be read. 1; 0 when no target can be read. The new
  // image is kept here (GetDestination; TakeNewImage hands it over).
  int MakeNewDestination(const CRalImage* active);
  // An existing destination (the active window's image) and its index in the list, -1
  // when it is not in the list.
  void SetDestination(CRalImage* destination, int destinationIndex);
  CRalImage* GetDestination() const { return m_pDest; }
  int GetDestinationIndex() const { return m_nDestIndex; }
  std::unique_ptr<CRalImage> TakeNewImage() { return std::move(m_pNewImage); }
  // The targets that could not be aligned and were combined unshifted.
  const std::vector<int>& GetUnaligned() const { return m_Unaligned; }
  // The reader of the other file targets the median and clipped paths combine without
  // alignment or aligned by image matching (which, as the combining, samples physical
  // values), when they need not be read as the run's reader reads them (the command line
  // passes ReadBatchFrame: half the memory of 16-bit frames, no levels computed).
  // Unset, the run's reader reads them.
  void SetFrameReader(Reader reader) { m_FrameReader = std::move(reader); }

  // Placements given for every target, in order, instead of measured: the run then reads
  // no frame but to combine it. A target given as not aligned is combined unshifted and
  // reported, as a measurement that failed would be.
  void SetShifts(std::vector<StackShift> shifts);
  // The placement of each target as the run measured or was given it (zeros and not
  // aligned for a target that could not be read).
  const std::vector<StackShift>& GetShifts() const { return m_Shifts; }
  // Measures the placements as the median and clipped paths would, each frame read,
  // placed and dropped; nothing is combined. 1; 0 when aborted or without a destination.
  int MeasureShifts();
  // Combine only destination rows first … first + count − 1 (0-based, as held in memory):
  // ImageProc then leaves those rows, computed exactly as a whole run computes them, in
  // GetBand(), reading of each frame only the rows they draw on (ReadFrameRows). Needs
  // the placements given (SetShifts) when aligning. The destination (its model read whole
  // once) is released when the band is made.
  void SetRows(int first, int count);
  CRalImage* GetBand() const { return m_pBand.get(); }

  // With alignment by centre of gravity, a destination without reference point 0 gets
  // its centre of gravity; the working copy is made. 0 without a destination or memory.
  int CheckValue();
  // 1 when done; 0 after an abort (the destination keeps what was computed) or a failure
  // of the engine.
  int ImageProc();

 private:
  // The placement of target on the destination; false (all three 0, *why saying what was
  // missing) when it could not be measured.
  bool Align(CRalImage& target, double* dx, double* dy, double* rotation, std::string* why);
  // Align, or the placement given; recorded in m_Shifts.
  bool Place(int index, CRalImage& target, double* dx, double* dy, double* rotation,
             std::string* why);
  int RowPath();
  int AddPath();
  // Combines the row y gathered in combine by the run's method (the median, clipped or
  // not; the clipped mean, or for the add the clipped mean times the count); 0 after
  // reporting a failure.
  int CombineRow(CImgMedianComposit& combine, int y);
  // The run's method on the row gathered in combine, into the destination (row null) or
  // into row; what CImgMedianComposit's computations return. Touches nothing of the run.
  int Reduce(CImgMedianComposit& combine, double* row) const;
  // The row path's combining of the frames placed without a turn, bands of rows at a
  // time: each band's frame rows read on this thread, its rows combined on the pool's
  // threads, written here; the same values as row by row. 0 after reporting a failure
  // or on an abort.
  struct Placed {
    const CRalImage* image;
    double dx, dy;
  };
  int CombineBands(const std::vector<Placed>& frames);
  // The band runs of both paths (batchband.cpp).
  int BandPath();
  int BandRowPath();
  int BandAddPath();
  bool FetchBand(int index, std::unique_ptr<CRalImage>* rows, int* first, int* width,
                 int* height, bool exact);

  BatchCompositSettings m_Settings;
  CRalImage* m_pDest = nullptr;
  int m_nDestIndex = -1;
  std::unique_ptr<CRalImage> m_pNewImage;
  std::unique_ptr<CRalImage> m_pWork;
  Reader m_FrameReader;
  // The row path's matching, keeping the destination's spectrum while frames are aligned;
  // the add path changes the destination between frames and matches afresh.
  std::unique_ptr<CImgMatching> m_pMatching;
  std::vector<int> m_Unaligned;
  std::vector<StackShift> m_Shifts;
  bool m_bShiftsGiven = false;
  int m_nFirstRow = 0;
  int m_nRowCount = -1;  // -1: every row
  int m_nDestHeight = 0;
  std::unique_ptr<CRalImage> m_pBand;
};
