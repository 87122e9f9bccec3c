// Batch calibration: every target has a bias and a dark frame subtracted and is divided by
// a flat frame (itself freed of bias and of its own dark), then saved over itself, into a
// save folder, or left to the caller. CBatchDarkFlat applies one common set of frames to
// a list; CBatchDarkFlat2 takes a table in which every row names its own.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "batch/batchnaming.h"
#include "batch/batchrun.h"

class CImage;

// Subtracts frame from image (the engine's dark calibration) and lowers the image's
// display levels of each plane by the frame's mean of that plane. 0 when the sizes differ
// (nothing changed) or the pixels cannot be reached.
int DoDark(CRalImage& image, const CRalImage& frame);

// The plane means of a calibration frame that a run applies to many targets, found the
// first time a target needs them: the means by which a dark frame lowers the display
// levels (GetAvrGrayRaw) and those by which a flat is scaled (GetFlatMeans). They are the
// same doubles the entry points above compute for every image.
class CFrameMeans {
 public:
  explicit CFrameMeans(const CRalImage& frame) : m_Frame(frame) {}
  const CRalImage& Frame() const { return m_Frame; }
  const std::vector<double>& Gray();
  // Null when a row of the flat cannot be read.
  const std::vector<double>* Flat();

 private:
  const CRalImage& m_Frame;
  std::vector<double> m_Gray, m_Flat;
  bool m_bGray = false, m_bFlat = false, m_bFlatFailed = false;
};

// DoDark and FlatClbrtn with the frame's means kept across targets.
int DoDark(CRalImage& image, CFrameMeans& frame);
int DoFlat(CRalImage& image, CFrameMeans& flat);

struct BatchDarkFlatSettings {
  bool useBias = true, useDark = true, useFlat = true, useFlatDark = false;
  BatchFrame bias, dark, flat, flatDark;
  // After processing: 0 nothing saved (the caller shows the images), 1 each target saved
  // over its own file, 2 saved into the folder.
  int result = 0;
  std::string folder;
  bool addCharacters = false;
  int position = 0;  // 0 the characters before the file name, 1 after it
  std::string characters;
};

class CBatchDarkFlat : public CBatchRun {
 public:
  CBatchDarkFlat(const BatchDarkFlatSettings& settings, std::vector<BatchTarget> targets);
  // Before a run that saves: targets whose outputs collide are refused with the list
  // (HasNameCollision); then the overwrite question (result 1) or the save folder's
  // checks on the outputs as they will be named (result 2). 0 stops the run.
  int CheckValue();
  // 1 when every target was handled, 0 after an abort, or when a chosen frame could not
  // be read or the frames do not fit each other (shown naming both; nothing was done
  // then). A frame of another size than a target shows its own message (2458 bias, 2324
  // dark, 2325 flat) and is recorded against the target; a target to be saved is then
  // left as it was and not saved, one only shown gets the frames that fit.
  int ImageProc();
  // The name a target is saved under (empty with result 0).
  std::string OutputName(int index) const;
  const BatchDarkFlatSettings& GetSettings() const { return m_Settings; }

 private:
  BatchDarkFlatSettings m_Settings;
};

// The individual table's run. result: 0 save only, 1 save (the caller then shows the
// image), 2 nothing saved.
struct BatchDarkFlat2Settings {
  int result = 0;
  bool addCharacters = false;
  int position = 0;
  std::string characters;
};

class CBatchDarkFlat2 : public CBatchRun {
 public:
  CBatchDarkFlat2(const BatchDarkFlat2Settings& settings, std::vector<batch::TableRow> rows);
  // Every non-empty cell of the image and frame columns must name an existing file (2373
  // lists those that do not); when saving, rows whose output is another row's output or
  // a file another row reads are refused with the list (HasNameCollision), the output
  // folders must exist or be created (2337) and existing outputs are listed in 2336. 0
  // stops the run.
  int CheckValue();
  // Row by row, rows without an image skipped; the frames are checked as in the common
  // set, per row: a row to be saved with a frame that cannot be read or does not fit is
  // left as it was. 1 when done, 0 after an abort.
  int ImageProc();
  // Column 5, or the image itself when that cell is empty, with the added characters.
  std::string OutputName(int row) const;
  // Gives the image of a row in place of reading it (a dialog opens it as a window, owned
  // by that window); null when it cannot be had. Frames are still read by the reader.
  using RowOpener = std::function<CRalImage*(int row)>;
  void SetRowOpener(RowOpener opener) { m_RowOpener = std::move(opener); }

 private:
  BatchDarkFlat2Settings m_Settings;
  std::vector<batch::TableRow> m_Rows;
  RowOpener m_RowOpener;
};
