// What the batch runs share: the list of targets (files, or images the caller already
// holds, such as open windows'), how a file is read, progress per target, the abort flag
// looked at between targets, the questions about the save folder, and the record of what
// failed. The dialogs and the command-line tool drive the same runs.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CRalImage;
class ProgressSink;

// One entry of a target list.
struct BatchTarget {
  std::string path;            // the file (may end in "<USF>"); an open image's file name
  CRalImage* image = nullptr;  // an image held by the caller: worked on in place, not read
};

// A calibration frame or other single image: a file, or an image the caller holds.
struct BatchFrame {
  std::string path;
  const CRalImage* image = nullptr;
  bool Chosen() const { return image != nullptr || !path.empty(); }
};

// What saving a target does to the files: shown as source, written to output, and the
// files its processing reads (none for an image the caller holds).
struct BatchSaveName {
  std::string source;
  std::string output;
  std::vector<std::string> reads;
};

struct BatchFailure {
  int index;  // the target, -1 for the run as a whole
  std::string path;
  std::string reason;
};

// Reads a file as the program opens it without a window: CRalImageIO::ReadFile at -32
// bits, and the automatic levels when the image has none of its own and the settings ask
// for them. A failure has been shown by the file message box.
bool ReadBatchImage(const std::string& path, CRalImage& image);
// Reads a file's pixels as they are stored, without the conversion to real values or the
// automatic levels: for frames a run only samples through imgsample, whose values read
// the same either way.
bool ReadBatchFrame(const std::string& path, CRalImage& image);

// The rows first … first + count − 1 (0-based, in the order an image read from the file
// holds them) of the frame in the file, as ReadBatchFrame would give them: the same
// physical values, in an image count rows tall. A plain FITS image is read row range by
// row range; other files are read whole and the rows kept. False (shown) when the file
// cannot be read, or the rows are not all in the frame.
bool ReadFrameRows(const std::string& path, int first, int count, CRalImage& rows);
// The size of the frame in the file, its header alone read where it can be, and whether
// its rows are held bottom-up (batch::IsBottomUp). False when it cannot be told.
bool ReadFrameSize(const std::string& path, int* width, int* height, bool* bottomUp);

class CBatchRun {
 public:
  using Reader = std::function<bool(const std::string& path, CRalImage& image)>;
  // index, the target's path, the name saved ("" when nothing was saved), whether the
  // target was done without failure.
  using FileReport =
      std::function<void(int index, const std::string& path, const std::string& saved, bool ok)>;
  using ImageHook = std::function<void(int index, CRalImage& image)>;

  explicit CBatchRun(std::vector<BatchTarget> targets);
  virtual ~CBatchRun();
  CBatchRun(const CBatchRun&) = delete;
  CBatchRun& operator=(const CBatchRun&) = delete;

  // The reader of file targets and frames (ReadBatchImage by default); a dialog that opens
  // targets as windows passes its own.
  void SetReader(Reader reader) { m_Reader = std::move(reader); }
  // Begin with the run's caption, a percentage as targets are done, End.
  void SetProgressSink(ProgressSink* sink) { m_pProgress = sink; }
  // Where the engine's own progress goes (null: silent).
  void SetEngineProgressSink(ProgressSink* sink) { m_pEngineProgress = sink; }
  // Looked at between targets and before each save; a set flag ends the run.
  void SetAbortFlag(const std::atomic<bool>* flag) { m_pAbort = flag; }
  void SetFileReport(FileReport report) { m_FileReport = std::move(report); }
  // Called with each target's image once it is processed, before it is saved (a dialog
  // marks the window modified and redraws it).
  void SetImageHook(ImageHook hook) { m_ImageHook = std::move(hook); }
  // The bits of FITS outputs (8, 16, 32, -32, -64); 0, the default, writes what a plain
  // save writes: the source's own type, so calibrated integer frames come out rounded.
  void SetSaveBits(int bits) { m_nSaveBits = bits; }

  const std::vector<BatchTarget>& GetTargets() const { return m_Targets; }
  const std::vector<BatchFailure>& GetFailures() const { return m_Failures; }
  int GetSavedCount() const { return m_nSaved; }
  bool WasAborted() const { return m_bAborted; }
  // Whether the last CheckValue refused the run because two targets would be saved under
  // one name (no answer to a question lets such a run go).
  bool HasNameCollision() const { return m_bNameCollision; }

 protected:
  // The target's image: its own, or the file read into *holder (by `reader` when given,
  // else the run's reader). Null (the failure recorded) when the file cannot be read.
  CRalImage* Fetch(int index, std::unique_ptr<CRalImage>* holder, const Reader* reader = nullptr);
  // A frame read or taken as it is; null (the failure recorded against the run) when it
  // cannot be read.
  const CRalImage* FetchFrame(const BatchFrame& frame, const char* what,
                              std::unique_ptr<CRalImage>* holder);
  bool AbortRequested();
  // Writes with CRalImageIO::WriteImageFile(image, path, 0); records a failure.
  bool Save(int index, CRalImage& image, const std::string& path);
  void Fail(int index, const std::string& reason);
  void Report(int index, const std::string& saved, bool ok);
  // Refuses outputs that collide (batch::FindCollisions), listing them in the message;
  // false then.
  bool CheckNames(const std::vector<BatchSaveName>& names);
  // The checks before the targets are saved under output(i), over their own files
  // (overwrite) or into folder: colliding outputs are refused (CheckNames); then the
  // overwrite question, or the save folder's checks with the outputs of the file targets.
  bool CheckTargetOutputs(bool overwrite, const std::string& folder,
                          const std::function<std::string(int)>& output);

  std::vector<BatchTarget> m_Targets;
  Reader m_Reader;
  ProgressSink* m_pProgress = nullptr;
  ProgressSink* m_pEngineProgress = nullptr;
  const std::atomic<bool>* m_pAbort = nullptr;
  FileReport m_FileReport;
  ImageHook m_ImageHook;
  std::vector<BatchFailure> m_Failures;
  int m_nSaveBits = 0;
  int m_nSaved = 0;
  bool m_bAborted = false;
  bool m_bNameCollision = false;
};

namespace batch {

// "上書き保存をします" (Yes/No): true on Yes.
bool AskOverwrite();
// The save folder as typed, normalised (NormalizeFolder); "." when nothing was typed.
std::string SaveFolder(std::string_view typed);
// The save folder's checks: a folder that does not exist is offered for creation (2337;
// No gives false, a failure to create is shown and gives false); then the outputs, as
// they will be written (with any added characters), that exist are listed in 2336 (No
// gives false).
bool CheckSaveFolder(const std::string& folder, const std::vector<std::string>& outputs);
// The targets whose saving would lose work: two saved under one name, or one saved over a
// file that another target reads. Names are compared as files: one that exists by its
// device and inode (so "./a.fts", "a.fts" and a link to it are one file), a new one by
// its resolved folder and its name. Each target concerned as "source -> output", one a
// line in target order; empty when there is none.
std::string FindCollisions(const std::vector<BatchSaveName>& names);
// Creating missing folders of output names (2337 for each), then 2336 for those that
// exist; false when the user declined or a folder could not be made.
bool CheckOutputs(const std::vector<std::string>& outputs);
// True when the FITS image is shown bottom-up: the setting "IO" "FitsBottomUp" (default
// on) and a format text that begins with "FITS".
bool IsBottomUp(const CRalImage& image);

}  // namespace batch
