// The Qt dialogs that answer the file dispatcher's questions (fileio/prompts.h). Each
// dialog is built from its prompt, applies its rules (from fileio/filedialogs.h) while
// the user works and on OK, and writes the answer back with Apply. Refusals are shown
// through the MessageBox service with the information icon and keep the dialog open.
#pragma once

#include <QDialog>
#include <QFileDialog>

#include "fileio/filedialogs.h"
#include "fileio/prompts.h"

class QButtonGroup;
class QCheckBox;
class QBoxLayout;
class QComboBox;
class QLineEdit;
class QRadioButton;
class QSlider;

// Keeps a dialog's position under "Position" of a settings section. Only the place is
// kept: the dialog keeps the size its layout gives it.
class PositionKeeper {
 public:
  PositionKeeper(QWidget* dialog, std::string section);
  // Moves the dialog to the stored place: now when it is shown, else as it shows.
  void Restore();
  void Store();

 private:
  QWidget* dialog_;
  std::string section_;
};

class CDlgFileOpen : public QFileDialog {
  Q_OBJECT
 public:
  CDlgFileOpen(const FileOpenPrompt& prompt, QWidget* parent = nullptr);
  void Apply(FileOpenPrompt& prompt) const;
  void done(int result) override;
  int filterIndex() const { return filterIndex_; }  // 1-based

 private:
  QStringList filters_;
  int filterIndex_ = 1;
  PositionKeeper position_;
};

class CDlgFileSave : public QFileDialog {
  Q_OBJECT
 public:
  CDlgFileSave(const FileSavePrompt& prompt, QWidget* parent = nullptr);
  void Apply(FileSavePrompt& prompt) const;
  void accept() override;
  void done(int result) override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void OnFilterSelected(const QString& filter);
  const FilterEntry* SelectedEntry() const;
  // The name as the user left it before picking another type: the file dialog itself
  // puts the new type's first extension on the name before OnFilterSelected runs.
  QString nameBeforeSwitch_;
  bool haveNameBeforeSwitch_ = false;
  std::vector<FilterEntry> entries_;
  QStringList filters_;
  int overwriteAllowed_;
  std::string originalFileName_;
  PositionKeeper position_;
};

class CDlgLoadRaw : public QDialog {
  Q_OBJECT
 public:
  CDlgLoadRaw(const LoadRawPrompt& prompt, QWidget* parent = nullptr);
  void Apply(LoadRawPrompt& prompt) const;
  void accept() override;
  void done(int result) override;

 private:
  LoadRawPrompt values_;
  QLineEdit *width_, *height_, *header_;
  QButtonGroup *plane_, *dataType_, *byteOrder_, *sign_, *bits_;
  PositionKeeper position_;
};

class CDlgLFits3D : public QDialog {
  Q_OBJECT
 public:
  CDlgLFits3D(const LoadFits3DPrompt& prompt, QWidget* parent = nullptr);
  void Apply(LoadFits3DPrompt& prompt) const;

 private:
  void UpdateEnabled();
  QRadioButton *gray_, *color_;
  QComboBox *grayList_, *redList_, *greenList_, *blueList_;
};

class CDlgSaveFits : public QDialog {
  Q_OBJECT
 public:
  CDlgSaveFits(const SaveFitsPrompt& prompt, QWidget* parent = nullptr);
  void Apply(SaveFitsPrompt& prompt) const;
  void accept() override;
  void done(int result) override;

 private:
  void SetReal(bool real);
  SaveFitsState State() const;
  QRadioButton *integer_, *real_;
  QButtonGroup* bits_;
  int chosen_ = -32;
  PositionKeeper position_;
};

class CDlgChangeBitsFits : public QDialog {
  Q_OBJECT
 public:
  CDlgChangeBitsFits(const ChangeBitsFitsPrompt& prompt, QWidget* parent = nullptr);
  void Apply(ChangeBitsFitsPrompt& prompt) const;

 private:
  QRadioButton *clip_, *compress_;
};

class CDlgSaveTiff : public QDialog {
  Q_OBJECT
 public:
  CDlgSaveTiff(const SaveTiffPrompt& prompt, QWidget* parent = nullptr);
  void Apply(SaveTiffPrompt& prompt) const;
  void done(int result) override;

 private:
  QButtonGroup *bits_, *order_;
  QComboBox* compression_;
  PositionKeeper position_;
};

// A slider from 1 to 10 and a two-character box kept in step; used by JPEG and PNG.
class QualityBox {
 public:
  QualityBox(QWidget* parent, const char* name, int value);
  // One row: the label (its mnemonic moves to the slider), the low end's word, the
  // slider, the high end's word and the number box.
  void AddRow(QBoxLayout* layout, std::string_view label, std::string_view low,
              std::string_view high);
  QSlider* slider;
  QLineEdit* edit;
};

class CDlgSaveJpeg : public QDialog {
  Q_OBJECT
 public:
  CDlgSaveJpeg(const SaveJpegPrompt& prompt, QWidget* parent = nullptr);
  void Apply(SaveJpegPrompt& prompt) const;
  void accept() override;
  void done(int result) override;

 private:
  QualityBox quality_;
  QCheckBox* progressive_;
  int value_ = 7;
  PositionKeeper position_;
};

class CDlgSavePng : public QDialog {
  Q_OBJECT
 public:
  CDlgSavePng(const SavePngPrompt& prompt, QWidget* parent = nullptr);
  void Apply(SavePngPrompt& prompt) const;
  void accept() override;
  void done(int result) override;

 private:
  QualityBox level_;
  QCheckBox* interlace_;
  QButtonGroup* bits_;
  int value_ = 5;
  PositionKeeper position_;
};

class CDlgSaveBmp : public QDialog {
  Q_OBJECT
 public:
  CDlgSaveBmp(const SaveBmpPrompt& prompt, QWidget* parent = nullptr);
  void Apply(SaveBmpPrompt& prompt) const;
  void done(int result) override;

 private:
  QRadioButton* bits8_;
  PositionKeeper position_;
};

class CDlgSaveGif : public QDialog {
  Q_OBJECT
 public:
  CDlgSaveGif(const SaveGifPrompt& prompt, QWidget* parent = nullptr);
  void Apply(SaveGifPrompt& prompt) const;
  void done(int result) override;

 private:
  QComboBox* type_;
  PositionKeeper position_;
};

class CDlgSSbig : public QDialog {
  Q_OBJECT
 public:
  CDlgSSbig(const SaveSbigPrompt& prompt, QWidget* parent = nullptr);
  void Apply(SaveSbigPrompt& prompt) const;
  void done(int result) override;

 private:
  QCheckBox* compression_;
  PositionKeeper position_;
};

// Answers each prompt kind with its dialog, modal over parent.
class QtUserPrompts : public UserPrompts {
 public:
  explicit QtUserPrompts(QWidget* parent = nullptr) : parent_(parent) {}
  bool Ask(Prompt& prompt) override;

 private:
  QWidget* parent_;
};
