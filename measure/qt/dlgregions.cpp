// The region file dialogs.
#include "measure/qt/dlgregions.h"

#include <QFileDialog>
#include <QFileInfo>

#include "imagemodel/image.h"
#include "measure/phottable.h"
#include "platform/messagebox.h"

namespace {

QString Q(const char* s) {
  return QString::fromUtf8(s);
}

}  // namespace

bool SaveRegionsAsked(QWidget* parent, const CImage& image, const std::vector<RegionShape>& shapes,
                      const std::string& suffix) {
  QFileDialog dialog(parent);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  QStringList filters{Q(regions_text::kFilterImage)};
  if (!RegionSkySystem(image).empty()) filters << Q(regions_text::kFilterSky);
  dialog.setNameFilters(filters);
  dialog.setDefaultSuffix(QStringLiteral("reg"));
  const QString title =
      QFileInfo(QString::fromStdString(image.GetOrgFileName())).completeBaseName();
  dialog.selectFile(title + QString::fromStdString("-" + suffix + ".reg"));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
  const bool sky = dialog.selectedNameFilter() == Q(regions_text::kFilterSky);
  std::string detail;
  const int rc =
      WriteRegionFile(dialog.selectedFiles().front().toStdString(), shapes, image, sky, &detail);
  if (rc == kRegionOk) return true;
  AfxMessageBox(std::string(regions_text::kWriteFailed) + "\n" + RegionErrorText(rc) +
                    (detail.empty() ? "" : ": " + detail),
                MB_OK | MB_ICONEXCLAMATION);
  return false;
}

bool LoadRegionsAsked(QWidget* parent, const CImage& image, RegionImport* out) {
  const QString path = QFileDialog::getOpenFileName(
      parent, QString(), QString(),
      Q(regions_text::kFilterRead) + QStringLiteral(";;") + Q(regions_text::kFilterAll));
  if (path.isEmpty()) return false;
  std::string detail;
  const int rc = ReadRegionFile(path.toStdString(), image, out, &detail);
  if (rc == kRegionOk) return true;
  AfxMessageBox(std::string(regions_text::kReadFailed) + "\n" + RegionErrorText(rc) +
                    (detail.empty() ? "" : ": " + detail),
                MB_OK | MB_ICONEXCLAMATION);
  return false;
}

void ReportRegionsSkipped(int taken, int skipped) {
  if (skipped > 0)
    AfxMessageBox(PhotFormat(regions_text::kSkipped, taken, skipped), MB_OK | MB_ICONINFORMATION);
}
