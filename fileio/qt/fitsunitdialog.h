// The chooser among the image units of a FITS file (FitsUnitPrompt): one row per unit
// with its index, EXTNAME, EXTVER, size and pixel type; a double click or Enter opens
// the row under the cursor.
#pragma once

#include <QDialog>

#include "fileio/prompts.h"

class QTreeWidget;

class CDlgFitsUnit : public QDialog {
  Q_OBJECT
 public:
  CDlgFitsUnit(const FitsUnitPrompt& prompt, QWidget* parent = nullptr);
  void Apply(FitsUnitPrompt& prompt) const;

 private:
  QTreeWidget* units_;
};
