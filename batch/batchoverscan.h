// Batch overscan subtraction: the bias level measured in a rectangle given in the 1-based
// pixel coordinates the user reads on the displayed image is subtracted from every
// target, which is then saved over itself, into a save folder, or left to the caller.
#pragma once

#include <string>
#include <vector>

#include "batch/batchrun.h"

struct BatchOverScanSettings {
  int x1 = 1, x2 = 1, y1 = 1, y2 = 1;  // 1-based, inclusive
  bool clipping = false;
  // 0 nothing saved (the caller shows the images), 1 saved over the source, 2 saved into
  // the folder.
  int result = 0;
  std::string folder;
  bool addCharacters = false;
  int position = 0;  // 0 the characters before the file name, 1 after it
  std::string characters;
  // y counted from the bottom of a reference image of this height (a bottom-up FITS
  // image); the same rows for every target whatever its own height.
  bool bottomUp = false;
  int referenceHeight = 0;
  // Takes bottomUp and referenceHeight from the image shown when the run is set up
  // (null: none, y only loses 1).
  void SetReference(const CRalImage* image);
};

class CBatchOverScan : public CBatchRun {
 public:
  CBatchOverScan(const BatchOverScanSettings& settings, std::vector<BatchTarget> targets);
  // As the common calibration's: colliding outputs refused, then the overwrite question
  // or the save folder's checks on the outputs as they will be named. 0 stops the run.
  int CheckValue();
  // 1 when every target was handled, 0 after an abort.
  int ImageProc();
  // The 0-based, inclusive region the engine is given: columns x1 − 1 and x2 − 1; rows
  // y1 − 1 and y2 − 1, or H − y1 and H − y2 bottom-up.
  void Region(int* x1, int* x2, int* y1, int* y2) const;
  // The name in the save folder (without added characters), and the name saved under.
  std::string GetNewFileName(int index) const;
  std::string OutputName(int index) const;
  // The level subtracted from each plane of the last target done.
  const std::vector<double>& GetLastLevels() const { return m_LastLevels; }

 private:
  BatchOverScanSettings m_Settings;
  std::vector<double> m_LastLevels;
};
