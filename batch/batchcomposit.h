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
  // alignment, when they need not be read as the run's reader reads them (the command
  // line passes ReadBatchFrame: half the memory of 16-bit frames, no levels computed).
  // Unset, the run's reader reads them.
  void SetFrameReader(Reader reader) { m_FrameReader = std::move(reader); }

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
  int RowPath();
  int AddPath();

  BatchCompositSettings m_Settings;
  CRalImage* m_pDest = nullptr;
  int m_nDestIndex = -1;
  std::unique_ptr<CRalImage> m_pNewImage;
  std::unique_ptr<CRalImage> m_pWork;
  Reader m_FrameReader;
  // The row path's matching, keeping the destination's spectrum while frames are aligned;
  // the add path changes the destination between frames and matches afresh.
  std::unique_ptr<CImgMatching> m_pMatching;
  bool m_bDestBottomUp = false;
  std::vector<int> m_Unaligned;
};
