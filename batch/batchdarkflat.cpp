// The calibration runs: the frames prepared once (the common set) or per row (the table),
// each target corrected in the order bias, dark, flat, then saved.
#include "batch/batchdarkflat.h"

#include <sys/stat.h>

#include "batch/batchtexts.h"
#include "engine/ralimage.h"
#include "platform/messagebox.h"
#include "platform/progress.h"

namespace {

bool SameSize(const CImage& a, const CImage& b) {
  return a.GetWidth() == b.GetWidth() && a.GetHeight() == b.GetHeight();
}

// Subtracts a frame, showing 2324 when its size differs. False when the step was skipped.
bool SubtractFrame(CRalImage& image, const CRalImage& frame) {
  if (!SameSize(image, frame)) {
    AfxMessageBox(std::string(batch_text::kDarkSizeDiffers), MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  return DoDark(image, frame) != 0;
}

bool DivideByFlat(CRalImage& image, const CRalImage& flat) {
  if (!SameSize(image, flat)) {
    AfxMessageBox(std::string(batch_text::kFlatSizeDiffers), MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  return image.FlatClbrtn(flat, 1) != 0;
}

// A working copy of a frame (the frames themselves are never changed); null when memory
// runs out.
std::unique_ptr<CRalImage> CopyOf(const CRalImage& frame, ProgressSink* progress) {
  try {
    auto copy = std::make_unique<CRalImage>(frame, progress, std::string(batch_text::kPreparing));
    copy->SetProgressSink(progress);
    return copy;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

int DoDark(CRalImage& image, const CRalImage& frame) {
  if (!image.DarkClbrtn(frame, 1)) return 0;
  if (image.HasLevel()) {
    for (int p = 0; p < image.GetPlanes(); ++p) {
      const double mean = frame.GetAvrGrayRaw(p < frame.GetPlanes() ? p : frame.GetPlanes() - 1);
      image.SetLevel(p, image.GetLevelMin(p) - mean, image.GetLevelMax(p) - mean);
    }
  }
  return 1;
}

CBatchDarkFlat::CBatchDarkFlat(const BatchDarkFlatSettings& settings,
                               std::vector<BatchTarget> targets)
    : CBatchRun(std::move(targets)), m_Settings(settings) {}

int CBatchDarkFlat::CheckValue() {
  if (m_Settings.result == 1) return batch::AskOverwrite() ? 1 : 0;
  if (m_Settings.result == 2) return batch::CheckSaveFolder(&m_Settings.folder, m_Targets) ? 1 : 0;
  return 1;
}

std::string CBatchDarkFlat::OutputName(int index) const {
  const std::string path = batch::PlainPath(m_Targets[index].path);
  if (m_Settings.result == 1) return path;
  if (m_Settings.result != 2) return {};
  std::string name = batch::InFolder(batch::NormalizeFolder(m_Settings.folder), path);
  if (m_Settings.addCharacters)
    name = batch::AddCharacters(name, m_Settings.characters, m_Settings.position == 0);
  return name;
}

int CBatchDarkFlat::ImageProc() {
  const BatchDarkFlatSettings& s = m_Settings;
  ProgressSink* engine = m_pEngineProgress;
  std::unique_ptr<CRalImage> biasHolder, darkHolder, flatDarkHolder, flatHolder;
  const CRalImage* bias = nullptr;
  std::unique_ptr<CRalImage> dark, flatDark, flat;
  // The frames: the bias as it is, copies of the others freed of the bias (and the flat
  // of its own dark).
  if (s.useBias && s.bias.Chosen() && !(bias = FetchFrame(s.bias, "bias", &biasHolder))) return 0;
  if (s.useDark && s.dark.Chosen()) {
    const CRalImage* frame = FetchFrame(s.dark, "dark", &darkHolder);
    if (!frame || !(dark = CopyOf(*frame, engine))) return 0;
    darkHolder.reset();
    if (bias) SubtractFrame(*dark, *bias);
  }
  if (s.useFlat && s.useFlatDark && s.flatDark.Chosen()) {
    const CRalImage* frame = FetchFrame(s.flatDark, "dark of the flat", &flatDarkHolder);
    if (!frame || !(flatDark = CopyOf(*frame, engine))) return 0;
    flatDarkHolder.reset();
    if (bias) SubtractFrame(*flatDark, *bias);
  }
  if (s.useFlat && s.flat.Chosen()) {
    const CRalImage* frame = FetchFrame(s.flat, "flat", &flatHolder);
    if (!frame || !(flat = CopyOf(*frame, engine))) return 0;
    flatHolder.reset();
    if (bias) SubtractFrame(*flat, *bias);
    if (flatDark) SubtractFrame(*flat, *flatDark);
  }

  ProgressScope progress(m_pProgress, std::string(batch_text::kRunning));
  const int n = static_cast<int>(m_Targets.size());
  for (int i = 0; i < n; ++i) {
    std::unique_ptr<CRalImage> holder;
    CRalImage* image = Fetch(i, &holder);
    if (image) {
      if (holder) image->SetProgressSink(engine);  // a held image keeps its own display
      bool ok = true;
      if (bias && !SubtractFrame(*image, *bias)) {
        Fail(i, "bias not subtracted (its size differs)");
        ok = false;
      }
      if (dark && !SubtractFrame(*image, *dark)) {
        Fail(i, "dark not subtracted (its size differs)");
        ok = false;
      }
      if (flat && !DivideByFlat(*image, *flat)) {
        Fail(i, "not divided by the flat (its size differs)");
        ok = false;
      }
      if (m_ImageHook) m_ImageHook(i, *image);
      // An abort while this target was worked on drops its result: only finished
      // targets are saved.
      if (AbortRequested()) break;
      std::string saved;
      if (s.result == 1 || s.result == 2) {
        saved = OutputName(i);
        if (!Save(i, *image, saved)) {
          saved.clear();
          ok = false;
        }
      }
      Report(i, saved, ok);
    } else {
      Report(i, {}, false);
    }
    progress.Update(i + 1, n);
    if (AbortRequested()) break;
  }
  return m_bAborted ? 0 : 1;
}

CBatchDarkFlat2::CBatchDarkFlat2(const BatchDarkFlat2Settings& settings,
                                 std::vector<batch::TableRow> rows)
    : CBatchRun({}), m_Settings(settings), m_Rows(std::move(rows)) {
  for (const batch::TableRow& row : m_Rows) m_Targets.push_back({row[batch::kImage], nullptr});
}

std::string CBatchDarkFlat2::OutputName(int row) const {
  const batch::TableRow& r = m_Rows[row];
  std::string name =
      batch::PlainPath(r[batch::kOutput].empty() ? r[batch::kImage] : r[batch::kOutput]);
  if (m_Settings.addCharacters)
    name = batch::AddCharacters(name, m_Settings.characters, m_Settings.position == 0);
  return name;
}

int CBatchDarkFlat2::CheckValue() {
  std::string missing;
  for (const batch::TableRow& row : m_Rows)
    for (int c = batch::kImage; c <= batch::kFlatDark; ++c)
      if (!row[c].empty() && !FileExists(batch::PlainPath(row[c])))
        missing += (missing.empty() ? "" : "\n") + row[c];
  if (!missing.empty()) {
    AfxMessageBox(batch::Format(batch_text::kFilesMissing, missing), MB_OK | MB_ICONEXCLAMATION);
    return 0;
  }
  if (m_Settings.result == 2) return 1;
  std::vector<std::string> outputs;
  for (std::size_t r = 0; r < m_Rows.size(); ++r)
    if (!m_Rows[r][batch::kImage].empty()) outputs.push_back(OutputName(static_cast<int>(r)));
  return batch::CheckOutputs(outputs) ? 1 : 0;
}

int CBatchDarkFlat2::ImageProc() {
  ProgressSink* engine = m_pEngineProgress;
  ProgressScope progress(m_pProgress, std::string(batch_text::kRunning));
  const int n = static_cast<int>(m_Rows.size());
  for (int r = 0; r < n; ++r) {
    const batch::TableRow& row = m_Rows[r];
    if (row[batch::kImage].empty()) continue;
    std::unique_ptr<CRalImage> holder;
    CRalImage* image = nullptr;
    if (!m_RowOpener)
      image = Fetch(r, &holder);
    else if (!(image = m_RowOpener(r)))
      Fail(r, "could not be read");
    if (!image) {
      Report(r, {}, false);
      progress.Update(r + 1, n);
      if (AbortRequested()) break;
      continue;
    }
    if (holder) image->SetProgressSink(engine);
    bool ok = true;
    auto frame = [&](int column, const char* what) -> std::unique_ptr<CRalImage> {
      if (row[column].empty()) return nullptr;
      auto f = std::make_unique<CRalImage>();
      if (!m_Reader(row[column], *f)) {
        Fail(r, std::string("its ") + what + " could not be read");
        ok = false;
        return nullptr;
      }
      f->SetProgressSink(engine);
      return f;
    };
    std::unique_ptr<CRalImage> bias = frame(batch::kBias, "bias");
    bool biasApplied = false;
    if (bias) {
      biasApplied = SubtractFrame(*image, *bias);
      if (!biasApplied) {
        Fail(r, "bias not subtracted (its size differs)");
        ok = false;
      }
    }
    if (std::unique_ptr<CRalImage> dark = frame(batch::kDark, "dark")) {
      if (biasApplied) SubtractFrame(*dark, *bias);
      if (!SubtractFrame(*image, *dark)) {
        Fail(r, "dark not subtracted (its size differs)");
        ok = false;
      }
    }
    std::unique_ptr<CRalImage> flatDark = frame(batch::kFlatDark, "dark of the flat");
    if (flatDark && biasApplied) SubtractFrame(*flatDark, *bias);
    if (std::unique_ptr<CRalImage> flat = frame(batch::kFlat, "flat")) {
      if (biasApplied) SubtractFrame(*flat, *bias);
      if (flatDark) SubtractFrame(*flat, *flatDark);
      if (!DivideByFlat(*image, *flat)) {
        Fail(r, "not divided by the flat (its size differs)");
        ok = false;
      }
    }
    if (m_ImageHook) m_ImageHook(r, *image);
    if (AbortRequested()) break;
    std::string saved;
    if (m_Settings.result == 0 || m_Settings.result == 1) {
      saved = OutputName(r);
      if (!Save(r, *image, saved)) {
        saved.clear();
        ok = false;
      }
    }
    Report(r, saved, ok);
    progress.Update(r + 1, n);
    if (AbortRequested()) break;
  }
  return m_bAborted ? 0 : 1;
}
