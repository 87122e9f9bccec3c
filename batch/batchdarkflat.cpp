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

void Tell(std::string_view text) {
  AfxMessageBox(std::string(text), MB_OK | MB_ICONEXCLAMATION);
}

// How a calibration frame is named: in the messages, as a file name in the messages
// about two frames, and in the list of failures.
struct FrameRole {
  std::string_view fileName;
  std::string_view sizeMessage;  // the frame against the target
  const char* what;
};
constexpr FrameRole kBiasRole{batch_text::kBiasName, batch_text::kBiasSizeDiffers, "bias"};
constexpr FrameRole kDarkRole{batch_text::kDarkName, batch_text::kDarkSizeDiffers, "dark"};
constexpr FrameRole kFlatRole{batch_text::kFlatName, batch_text::kFlatSizeDiffers, "flat"};
constexpr FrameRole kFlatDarkRole{batch_text::kFlatDarkName, batch_text::kDarkSizeDiffers,
                                  "dark of the flat"};

// A frame in use: its image (null when not used), what it is and the file it came from
// (empty for an image the caller holds).
struct UsedFrame {
  const CRalImage* image = nullptr;
  const FrameRole* role = nullptr;
  std::string path;
  // The frame's means kept across targets; null to find them afresh for each.
  CFrameMeans* means = nullptr;
};

// Subtracts a frame (dark or bias) from image, with the frame's kept means when it has them.
int Subtract(CRalImage& image, const UsedFrame& f) {
  return f.means && &f.means->Frame() == f.image ? DoDark(image, *f.means)
                                                 : DoDark(image, *f.image);
}

int Divide(CRalImage& image, const UsedFrame& f) {
  return f.means && &f.means->Frame() == f.image ? DoFlat(image, *f.means)
                                                 : image.FlatClbrtn(*f.image, 1);
}

std::string SizeText(const CImage& image) {
  return std::to_string(image.GetWidth()) + " x " + std::to_string(image.GetHeight());
}

std::string Describe(const UsedFrame& f) {
  return std::string("the ") + f.role->what + (f.path.empty() ? "" : " " + f.path) + " (" +
         SizeText(*f.image) + ")";
}

// A frame that does not fit the target or another frame: the message shown and the
// reason recorded.
struct Misfit {
  std::string message;
  std::string reason;
};

// The frames (in the order they are applied) that differ in size from the target.
std::vector<Misfit> TargetMisfits(const CImage& image, const std::vector<UsedFrame>& frames) {
  std::vector<Misfit> out;
  for (const UsedFrame& f : frames)
    if (f.image && !SameSize(image, *f.image))
      out.push_back({std::string(f.role->sizeMessage),
                     Describe(f) + " differs in size from the image (" + SizeText(image) + ")"});
  return out;
}

// frame, subtracted from `from` before either meets a target, does not fit it.
Misfit FramesMisfit(const UsedFrame& frame, const UsedFrame& from) {
  return {batch::Format(batch::Format(batch_text::kFramesDiffer, frame.role->fileName),
                        from.role->fileName),
          Describe(frame) + " differs in size from " + Describe(from)};
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

// Frees a frame (a working copy, *copy) of the frames applied before it, in their order.
// One that does not fit it is shown; the frame is then dropped (used->image null), as it
// is when the engine cannot subtract; the reasons are added to *failures.
void FreeOf(CRalImage& copy, UsedFrame* used, const std::vector<UsedFrame>& before,
            std::vector<std::string>* failures) {
  for (const UsedFrame& f : before) {
    if (!f.image || !used->image) continue;
    if (!SameSize(*f.image, copy)) {
      const Misfit misfit = FramesMisfit(f, *used);
      Tell(misfit.message);
      failures->push_back(misfit.reason);
      used->image = nullptr;
    } else if (!Subtract(copy, f)) {
      failures->push_back(Describe(f) + " could not be subtracted from " + Describe(*used));
      used->image = nullptr;
    }
  }
}

// Lowers the display levels of image by the frame's plane means, as a dark subtraction
// does (DoDark).
void ShiftLevels(CRalImage& image, CFrameMeans& frame) {
  if (!image.HasLevel()) return;
  const std::vector<double>& gray = frame.Gray();
  for (int p = 0; p < image.GetPlanes(); ++p) {
    const double mean = gray[static_cast<std::size_t>(
        p < frame.Frame().GetPlanes() ? p : frame.Frame().GetPlanes() - 1)];
    image.SetLevel(p, image.GetLevelMin(p) - mean, image.GetLevelMax(p) - mean);
  }
}

// Where a frame goes in the one-pass calibration: 0 bias, 1 dark, 2 flat.
int FrameIndex(const UsedFrame& f) {
  return f.role == &kBiasRole ? 0 : f.role == &kDarkRole ? 1 : 2;
}

// The frames (bias, dark, flat, each fitting the image) applied in one pass over the
// image's rows when the engine can (CRalImage::CalibrateInOnePass), with the levels
// lowered after it as the separate steps lower them. -1, with nothing done, when it
// cannot, or when fewer than two frames are used (the separate step is as quick then);
// 0 when a row could not be reached, 1 when done.
int CalibrateInOnePass(CRalImage& image, const std::vector<UsedFrame>& frames) {
  const CRalImage* used[3] = {nullptr, nullptr, nullptr};
  int count = 0;
  for (const UsedFrame& f : frames) {
    if (!f.image) continue;
    const int k = FrameIndex(f);
    if (used[k]) return -1;
    used[k] = f.image;
    ++count;
  }
  if (count < 2) return -1;
  // The means of each frame: the run's kept ones, or found here for this target.
  std::unique_ptr<CFrameMeans> own[3];
  CFrameMeans* means[3] = {nullptr, nullptr, nullptr};
  for (const UsedFrame& f : frames) {
    if (!f.image) continue;
    const int k = FrameIndex(f);
    if (f.means && &f.means->Frame() == f.image) {
      means[k] = f.means;
    } else {
      own[k] = std::make_unique<CFrameMeans>(*f.image);
      means[k] = own[k].get();
    }
  }
  const std::vector<double>* flatMeans = nullptr;
  if (used[2] && !(flatMeans = means[2]->Flat())) return -1;
  const int done = image.CalibrateInOnePass(used[0], used[1], used[2], flatMeans, 1);
  if (done != 1) return done;
  for (int k = 0; k < 2; ++k)
    if (used[k]) ShiftLevels(image, *means[k]);
  return 1;
}

// What calibrating one target came to: the reasons of its failures, and whether its
// image was changed.
struct Outcome {
  std::vector<std::string> failures;
  bool changed = false;
};

// Calibrates one target with the frames in their order (the dark frames subtracted, the
// flat divided). Each frame of another size than the target is shown with its own
// message. A target to be saved is then left as it was, so that a file is replaced only
// by a whole calibration; one only shown has the frames that fit applied.
Outcome CalibrateTarget(CRalImage& image, const std::vector<UsedFrame>& frames, bool saving) {
  Outcome out;
  for (const Misfit& misfit : TargetMisfits(image, frames)) {
    Tell(misfit.message);
    out.failures.push_back(misfit.reason + (saving ? "; not saved" : ""));
  }
  if (saving && !out.failures.empty()) return out;
  if (out.failures.empty()) {
    const int fused = CalibrateInOnePass(image, frames);
    if (fused >= 0) {
      out.changed = true;
      // A row that could not be reached leaves the pass half done, with every frame.
      if (fused == 0)
        for (const UsedFrame& f : frames)
          if (f.image) out.failures.push_back(Describe(f) + " could not be applied");
      return out;
    }
  }
  for (const UsedFrame& f : frames) {
    if (!f.image || !SameSize(image, *f.image)) continue;
    out.changed = true;
    const bool done = (f.role == &kFlatRole ? Divide(image, f) : Subtract(image, f)) != 0;
    if (!done) out.failures.push_back(Describe(f) + " could not be applied");
  }
  return out;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

int DoDark(CRalImage& image, const CRalImage& frame) {
  CFrameMeans means(frame);
  return DoDark(image, means);
}

const std::vector<double>& CFrameMeans::Gray() {
  if (!m_bGray) {
    m_Gray.clear();
    for (int p = 0; p < m_Frame.GetPlanes(); ++p) m_Gray.push_back(m_Frame.GetAvrGrayRaw(p));
    m_bGray = true;
  }
  return m_Gray;
}

const std::vector<double>* CFrameMeans::Flat() {
  if (!m_bFlat && !m_bFlatFailed) {
    if (CRalImage::GetFlatMeans(m_Frame, &m_Flat))
      m_bFlat = true;
    else
      m_bFlatFailed = true;
  }
  return m_bFlat ? &m_Flat : nullptr;
}

int DoDark(CRalImage& image, CFrameMeans& frame) {
  if (!image.DarkClbrtn(frame.Frame(), 1)) return 0;
  ShiftLevels(image, frame);
  return 1;
}

int DoFlat(CRalImage& image, CFrameMeans& flat) {
  const std::vector<double>* means = flat.Flat();
  return means && image.FlatClbrtn(flat.Frame(), *means, 1) ? 1 : 0;
}

CBatchDarkFlat::CBatchDarkFlat(const BatchDarkFlatSettings& settings,
                               std::vector<BatchTarget> targets)
    : CBatchRun(std::move(targets)), m_Settings(settings) {}

int CBatchDarkFlat::CheckValue() {
  if (m_Settings.result != 1 && m_Settings.result != 2) return 1;
  if (m_Settings.result == 2) m_Settings.folder = batch::SaveFolder(m_Settings.folder);
  return CheckTargetOutputs(m_Settings.result == 1, m_Settings.folder,
                            [this](int i) { return OutputName(i); })
             ? 1
             : 0;
}

std::string CBatchDarkFlat::OutputName(int index) const {
  const std::string path = batch::PlainPath(m_Targets[index].path);
  if (m_Settings.result == 1) return path;
  if (m_Settings.result != 2) return {};
  std::string name = batch::InFolder(batch::SaveFolder(m_Settings.folder), path);
  if (m_Settings.addCharacters)
    name = batch::AddCharacters(name, m_Settings.characters, m_Settings.position == 0);
  return name;
}

int CBatchDarkFlat::ImageProc() {
  const BatchDarkFlatSettings& s = m_Settings;
  ProgressSink* engine = m_pEngineProgress;
  const bool saving = s.result == 1 || s.result == 2;
  // The frames: the bias as it is, copies of the others freed of the bias (and the flat
  // of its own dark). A frame that cannot be had, or frames that do not fit each other,
  // stop the run before any target is touched.
  std::unique_ptr<CRalImage> biasHolder, dark, flatDark, flat;
  UsedFrame bias{nullptr, &kBiasRole, s.bias.path};
  if (s.useBias && s.bias.Chosen() && !(bias.image = FetchFrame(s.bias, "bias", &biasHolder)))
    return 0;
  UsedFrame darkUsed{nullptr, &kDarkRole, s.dark.path};
  UsedFrame flatDarkUsed{nullptr, &kFlatDarkRole, s.flatDark.path};
  UsedFrame flatUsed{nullptr, &kFlatRole, s.flat.path};
  auto prepare = [&](const BatchFrame& chosen, std::unique_ptr<CRalImage>* copy, UsedFrame* used,
                     const std::vector<UsedFrame>& before) {
    std::unique_ptr<CRalImage> held;
    const CRalImage* frame = FetchFrame(chosen, used->role->what, &held);
    if (!frame) return false;
    if (!(*copy = CopyOf(*frame, engine))) {
      m_Failures.push_back({-1, chosen.path, std::string("no memory for the ") + used->role->what});
      return false;
    }
    used->image = copy->get();
    std::vector<std::string> failures;
    FreeOf(**copy, used, before, &failures);
    for (const std::string& reason : failures)
      m_Failures.push_back({-1, chosen.path, reason + "; nothing was done"});
    return failures.empty();
  };
  // Each frame's means are found once for the whole run (the bias's before the other
  // frames are freed of it), unless the frame is an image the caller holds that is also a
  // target (calibrating it would change them).
  std::vector<std::unique_ptr<CFrameMeans>> means;
  auto keepMeans = [&](UsedFrame* f) {
    if (!f->image) return;
    for (const BatchTarget& t : m_Targets)
      if (t.image && t.image == f->image) return;
    means.push_back(std::make_unique<CFrameMeans>(*f->image));
    f->means = means.back().get();
  };
  keepMeans(&bias);
  if (s.useDark && s.dark.Chosen() && !prepare(s.dark, &dark, &darkUsed, {bias})) return 0;
  if (s.useFlat && s.useFlatDark && s.flatDark.Chosen() &&
      !prepare(s.flatDark, &flatDark, &flatDarkUsed, {bias}))
    return 0;
  if (s.useFlat && s.flat.Chosen() && !prepare(s.flat, &flat, &flatUsed, {bias, flatDarkUsed}))
    return 0;
  keepMeans(&darkUsed);
  keepMeans(&flatUsed);
  const std::vector<UsedFrame> frames = {bias, darkUsed, flatUsed};

  ProgressScope progress(m_pProgress, std::string(batch_text::kRunning));
  const int n = static_cast<int>(m_Targets.size());
  for (int i = 0; i < n; ++i) {
    std::unique_ptr<CRalImage> holder;
    CRalImage* image = Fetch(i, &holder);
    Outcome done;
    if (image) {
      if (holder) image->SetProgressSink(engine);  // a held image keeps its own display
      done = CalibrateTarget(*image, frames, saving);
      for (const std::string& reason : done.failures) Fail(i, reason);
    }
    // A target left as it was is not shown as done; one only shown is, whatever fitted.
    if (image && (!saving || done.changed || done.failures.empty())) {
      bool ok = done.failures.empty();
      if (m_ImageHook) m_ImageHook(i, *image);
      // An abort while this target was worked on drops its result: only finished
      // targets are saved.
      if (AbortRequested()) break;
      std::string saved;
      if (saving && ok) {
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
  // A row's output may not be another row's output, nor a file another row reads.
  std::vector<BatchSaveName> names;
  std::vector<std::string> outputs;
  for (std::size_t r = 0; r < m_Rows.size(); ++r) {
    const batch::TableRow& row = m_Rows[r];
    if (row[batch::kImage].empty()) continue;
    BatchSaveName name{batch::PlainPath(row[batch::kImage]), OutputName(static_cast<int>(r)), {}};
    for (int c = batch::kImage; c <= batch::kFlatDark; ++c)
      if (!row[c].empty()) name.reads.push_back(batch::PlainPath(row[c]));
    outputs.push_back(name.output);
    names.push_back(std::move(name));
  }
  if (!CheckNames(names)) return 0;
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
    const bool saving = m_Settings.result == 0 || m_Settings.result == 1;
    std::vector<std::string> failures;
    // The row's frames, each read afresh.
    auto read = [&](int column, const FrameRole& role, std::unique_ptr<CRalImage>* held) {
      UsedFrame used{nullptr, &role, row[column]};
      if (row[column].empty()) return used;
      auto f = std::make_unique<CRalImage>();
      if (!m_Reader(row[column], *f)) {
        failures.push_back(std::string("its ") + role.what + " could not be read");
        return used;
      }
      f->SetProgressSink(engine);
      *held = std::move(f);
      used.image = held->get();
      return used;
    };
    std::unique_ptr<CRalImage> bias, dark, flatDark, flat;
    UsedFrame biasUsed = read(batch::kBias, kBiasRole, &bias);
    UsedFrame darkUsed = read(batch::kDark, kDarkRole, &dark);
    UsedFrame flatDarkUsed = read(batch::kFlatDark, kFlatDarkRole, &flatDark);
    UsedFrame flatUsed = read(batch::kFlat, kFlatRole, &flat);
    // The other frames are freed of the bias only when it is applied to the image, and
    // the flat of its own dark; a frame that cannot be is not used (nor a flat whose dark
    // cannot be).
    const UsedFrame biasOfFrames =
        biasUsed.image && SameSize(*biasUsed.image, *image) ? biasUsed : UsedFrame{};
    if (darkUsed.image) FreeOf(*dark, &darkUsed, {biasOfFrames}, &failures);
    if (flatDarkUsed.image) FreeOf(*flatDark, &flatDarkUsed, {biasOfFrames}, &failures);
    if (flatUsed.image) {
      if (flatDark && !flatDarkUsed.image)
        flatUsed.image = nullptr;
      else
        FreeOf(*flat, &flatUsed, {biasOfFrames, flatDarkUsed}, &failures);
    }
    // A row to be saved is saved whole or not at all: what failed so far leaves it as it
    // was.
    Outcome done;
    if (!saving || failures.empty())
      done = CalibrateTarget(*image, {biasUsed, darkUsed, flatUsed}, saving);
    for (const std::string& reason : failures) Fail(r, reason + (saving ? "; not saved" : ""));
    for (const std::string& reason : done.failures) Fail(r, reason);
    bool ok = failures.empty() && done.failures.empty();
    if (saving && !ok && !done.changed) {
      Report(r, {}, false);
      progress.Update(r + 1, n);
      if (AbortRequested()) break;
      continue;
    }
    if (m_ImageHook) m_ImageHook(r, *image);
    if (AbortRequested()) break;
    std::string saved;
    if (saving && ok) {
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
