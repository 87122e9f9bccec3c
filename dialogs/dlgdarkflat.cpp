// CDlgDarkFlat: four frames, each a box and an image picker whose choice (open window or
// file) is kept in the dialog's section; ImageProc hands the chosen images to the
// calibration sequence of darkflatproc.h.
#include "dialogs/dlgdarkflat.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QVBoxLayout>

#include "dialogs/comboimage.h"
#include "dialogs/dlgsupport.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"

namespace {

constexpr const char* kSection = "Dialog\\DarkFlat";
constexpr const char* kCheckKey[4] = {"BiasFileCheck", "DarkFileCheck", "FlatFileCheck",
                                      "DarkFileForFlatCheck"};
constexpr const char* kListKey[4] = {"BiasFile", "DarkFile", "FlatFile", "DarkFileForFlat"};
constexpr const char* kLabel[4] = {"ﾊﾞｲｱｽ(&B)", "ﾀﾞｰｸ(&D)", "ﾌﾗｯﾄ(&F)", "ﾌﾗｯﾄ用ﾀﾞｰｸ(&K)"};

using dlg::Id;
using dlg::Q;

}  // namespace

CDlgDarkFlat::CDlgDarkFlat(QWidget* parent) : CVumDialog(kTemplateId, parent) {
  setWindowTitle(Q(darkflat_text::kCaption));
  auto* box = new QGroupBox(Q("補正ﾌｧｲﾙ"), this);
  auto* grid = new QGridLayout(box);
  for (int i = 0; i < 4; ++i) {
    m_pCheck[i] = new QCheckBox(Q(kLabel[i]), box);
    m_pCheck[i]->setObjectName(Id(IDC_CHECK[i]));
    m_pList[i] = new CComboImage(box);
    m_pList[i]->setObjectName(Id(IDC_LIST[i]));
    m_pList[i]->setMinimumWidth(260);
    m_pList[i]->SetRecallByPath(true);
    // The dark of the flat sits under the flat, indented.
    grid->addWidget(m_pCheck[i], i, i == kDarkForFlat ? 1 : 0, 1, i == kDarkForFlat ? 1 : 2);
    grid->addWidget(m_pList[i], i, 2);
    connect(m_pCheck[i], &QCheckBox::toggled, this, [this] { EnableControls(); });
  }
  grid->setColumnMinimumWidth(0, 16);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(box);
  layout->addLayout(dlg::ButtonRow(this, nullptr, HelpButton()));
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

void CDlgDarkFlat::OnInitDialog() {
  CVumDialog::OnInitDialog();
  EnableControls();
}

void CDlgDarkFlat::EnableControls() {
  for (int i = 0; i < 4; ++i) m_pList[i]->setEnabled(m_pCheck[i]->isChecked());
  // The dark of the flat only with the flat.
  const bool flat = m_pCheck[kFlat]->isChecked();
  m_pCheck[kDarkForFlat]->setEnabled(flat);
  m_pList[kDarkForFlat]->setEnabled(flat && m_pCheck[kDarkForFlat]->isChecked());
}

void CDlgDarkFlat::DoDataExchange(bool save) {
  for (int i = 0; i < 4; ++i) {
    if (save) {
      m_bUse[i] = m_pCheck[i]->isChecked() ? 1 : 0;
    } else {
      const QSignalBlocker block(m_pCheck[i]);
      m_pCheck[i]->setChecked(m_bUse[i] != 0);
    }
  }
  if (!save) EnableControls();
}

void CDlgDarkFlat::UpdateRegistry(int write, const char* section) {
  CVumDialog::UpdateRegistry(write, section ? section : kSection);
  for (int i = 0; i < 4; ++i) {
    UpdateReg(kSection, kCheckKey[i], write, m_bUse[i], CRegistry::TYPE_BOOL, 0);
    if (write)
      m_pList[i]->WriteHistory(kSection, kListKey[i]);
    else
      m_pList[i]->ReadHistory(kSection, kListKey[i]);
  }
}

int CDlgDarkFlat::CheckValue() {
  if (!CComboImage::CalibrationFramesChosen(m_pCheck, m_pList)) return 0;
  return CVumDialog::CheckValue();
}

int CDlgDarkFlat::ImageProc(RECT*, int) {
  m_bError = 0;
  if (!m_pTarget || !m_pUndo) return 0;
  DarkFlatFrames frames;
  frames.useBias = m_bUse[kBias];
  frames.useDark = m_bUse[kDark];
  frames.useFlat = m_bUse[kFlat];
  frames.useDarkForFlat = m_bUse[kFlat] && m_bUse[kDarkForFlat];
  const CRalImage** image[4] = {&frames.bias, &frames.dark, &frames.flat, &frames.darkForFlat};
  for (int i = 0; i < 4; ++i) {
    if (!m_bUse[i]) continue;
    const CRalImage* chosen = m_pList[i]->GetImage(0);
    // This window's own image is being written: it takes part as it was.
    if (chosen && m_pDocument && m_pList[i]->GetDocument() == m_pDocument) chosen = m_pUndo;
    *image[i] = chosen;
  }
  const int ok =
      DarkFlatProc(*m_pTarget, *m_pUndo, frames, CRalImageIO::GetProgressSink(), &m_Result);
  if (m_Result.error) m_bError = 1;
  return ok;
}
