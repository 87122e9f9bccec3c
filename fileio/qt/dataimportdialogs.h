// The two dialogs of the data import: one integer asked with a prompt (the number of
// axes, each axis's size, the dispersion axis, the column of spectral data), and the
// layout of the numbers with the scaling and author. The layout dialog starts from the
// answers stored under "Dialog\DataImport" and stores its own on OK.
#pragma once

#include <QDialog>
#include <functional>

#include "fileio/qt/iodialogs.h"
#include "formats/raw/dataimport.h"

class QButtonGroup;
class QLabel;
class QLineEdit;

class CDlgDataImportAxis : public QDialog {
  Q_OBJECT
 public:
  CDlgDataImportAxis(const std::string& prompt, int value, QWidget* parent = nullptr);
  // The value typed; false when it is no integer.
  bool Value(int* value) const;

 private:
  QLabel* prompt_;
  QLineEdit* value_;
};

class CDlgDataImportType : public QDialog {
  Q_OBJECT
 public:
  // Scaling and author come from the file's header; the rest from the stored answers.
  CDlgDataImportType(double bscale, double bzero, const std::string& author,
                     QWidget* parent = nullptr);
  // The answers, valid after OK.
  const DataImportLayout& Layout() const { return layout_; }
  void accept() override;
  void done(int result) override;

 private:
  void UpdateEnabled();
  QButtonGroup* kind_;
  QButtonGroup* delimit_;
  QButtonGroup* sequence_;
  QButtonGroup* lineEnds_;
  QLineEdit* bscale_;
  QLineEdit* bzero_;
  QLineEdit* author_;
  QLineEdit* field_;
  QLineEdit* separator_;
  DataImportLayout layout_;
  PositionKeeper position_;
};

// The whole import as the File menu runs it: asks the axes, sizes and layout, reads the
// numbers and gives back the image (1) or 0 after telling the user why, or nothing when
// the user cancelled. path is the file already chosen. For spectral data, spectralAxis
// (when given) is offered the image with its dispersion axis set, to set the axis's
// world coordinates; false from it cancels the import.
class CRalImage;
int RunDataImport(const std::string& path, CRalImage& image, QWidget* parent,
                  const std::function<bool(CRalImage&)>& spectralAxis = {});
