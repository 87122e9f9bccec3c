// The overscan run: one region for every target, the engine's overscan subtraction, then
// the save.
#include "batch/batchoverscan.h"

#include "batch/batchnaming.h"
#include "batch/batchtexts.h"
#include "engine/imgoverscan.h"
#include "engine/ralimage.h"
#include "platform/progress.h"

void BatchOverScanSettings::SetReference(const CRalImage* image) {
  bottomUp = image && batch::IsBottomUp(*image);
  referenceHeight = bottomUp ? image->GetHeight() : 0;
}

CBatchOverScan::CBatchOverScan(const BatchOverScanSettings& settings,
                               std::vector<BatchTarget> targets)
    : CBatchRun(std::move(targets)), m_Settings(settings) {}

int CBatchOverScan::CheckValue() {
  if (m_Settings.result != 1 && m_Settings.result != 2) return 1;
  if (m_Settings.result == 2) m_Settings.folder = batch::SaveFolder(m_Settings.folder);
  return CheckTargetOutputs(m_Settings.result == 1, m_Settings.folder,
                            [this](int i) { return OutputName(i); })
             ? 1
             : 0;
}

void CBatchOverScan::Region(int* x1, int* x2, int* y1, int* y2) const {
  *x1 = m_Settings.x1 - 1;
  *x2 = m_Settings.x2 - 1;
  if (m_Settings.bottomUp) {
    *y1 = m_Settings.referenceHeight - m_Settings.y1;
    *y2 = m_Settings.referenceHeight - m_Settings.y2;
  } else {
    *y1 = m_Settings.y1 - 1;
    *y2 = m_Settings.y2 - 1;
  }
}

std::string CBatchOverScan::GetNewFileName(int index) const {
  return batch::InFolder(batch::SaveFolder(m_Settings.folder), m_Targets[index].path);
}

std::string CBatchOverScan::OutputName(int index) const {
  if (m_Settings.result == 1) return batch::PlainPath(m_Targets[index].path);
  if (m_Settings.result != 2) return {};
  std::string name = GetNewFileName(index);
  if (m_Settings.addCharacters)
    name = batch::AddCharacters(name, m_Settings.characters, m_Settings.position == 0);
  return name;
}

int CBatchOverScan::ImageProc() {
  int x1, x2, y1, y2;
  Region(&x1, &x2, &y1, &y2);
  ProgressScope progress(m_pProgress, std::string(batch_text::kRunning));
  // The count is read again after every target: a dialog's list may change meanwhile.
  for (int i = 0; i < static_cast<int>(m_Targets.size()); ++i) {
    std::unique_ptr<CRalImage> holder;
    CRalImage* image = Fetch(i, &holder);
    if (!image) {
      Report(i, {}, false);
      continue;
    }
    if (holder) image->SetProgressSink(m_pEngineProgress);  // a held image keeps its own
    bool ok = true;
    CImgOverScan overscan(*image);
    if (overscan.Do(x1, x2, y1, y2, m_Settings.clipping ? 1 : 0, 1)) {
      m_LastLevels = overscan.GetLevels();
      if (m_ImageHook) m_ImageHook(i, *image);
    } else {
      Fail(i, "no overscan level in the region (outside the image or without values)");
      ok = false;
    }
    if (AbortRequested()) break;
    std::string saved;
    if (ok && (m_Settings.result == 1 || m_Settings.result == 2)) {
      saved = OutputName(i);
      if (!Save(i, *image, saved)) {
        saved.clear();
        ok = false;
      }
    }
    Report(i, saved, ok);
    progress.Update(i + 1, static_cast<int>(m_Targets.size()));
    if (AbortRequested()) break;
  }
  return m_bAborted ? 0 : 1;
}
