// The Qt dialogs of the file dispatcher.
#include "fileio/qt/iodialogs.h"

#include <algorithm>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <QVBoxLayout>

#include "fileio/fileiotexts.h"
#include "fileio/qt/fitsunitdialog.h"
#include "platform/messagebox.h"
#include "settings/registry.h"

namespace ft = fileio_text;

namespace {

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }
std::string S(const QString& s) { return s.toUtf8().toStdString(); }

void Inform(std::string_view text) { AfxMessageBox(std::string(text), MB_ICONINFORMATION); }

QDialogButtonBox* OkCancel(QDialog* dialog, QLayout* layout) {
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
  buttons->setObjectName("buttons");
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  layout->addWidget(buttons);
  // Wide enough that the window manager shows the whole title beside its buttons.
  QFont bold = dialog->font();
  bold.setBold(true);
  const int title = QFontMetrics(bold).horizontalAdvance(dialog->windowTitle());
  dialog->setMinimumWidth(std::max(dialog->minimumWidth(), title + 150));
  return buttons;
}

QRadioButton* Radio(QWidget* parent, QButtonGroup* group, int id, std::string_view text,
                    const char* name, QLayout* layout) {
  auto* r = new QRadioButton(Q(text), parent);
  r->setObjectName(name);
  group->addButton(r, id);
  layout->addWidget(r);
  return r;
}

}  // namespace

// ---- positions

namespace {

// Moves a dialog to the place stored under section, keeping the size it has.
void PlaceAtStored(QWidget* dialog, const std::string& section) {
  // Stored and restored as the client area's corner: the frame around it is the window
  // manager's and is not known before the dialog shows, so a frame corner stored and
  // restored as a client corner would move the dialog by the title bar on every use.
  const QRect g = dialog->geometry();
  RECT r{g.left(), g.top(), g.left() + g.width(), g.top() + g.height()};
  ScreenArea screen;
  if (QScreen* s = QGuiApplication::primaryScreen()) {
    const QRect a = s->availableGeometry();
    screen.rect = {a.left(), a.top(), a.right() + 1, a.bottom() + 1};
  }
  if (!CRegistry::Read(section, "Position", r, screen)) return;
  dialog->setGeometry(r.left, r.top, g.width(), g.height());
}

// Places a dialog that is not shown yet when it shows. Only then has it the size its
// layout gives it: before, a dialog with a parent is a stub of 100 × 30, and giving it
// that size would make it as small as its layout allows from then on. The Show event
// comes before the window is mapped and before a dialog centres itself over its parent,
// so the dialog appears at its place at once.
class PlaceWhenShown : public QObject {
 public:
  PlaceWhenShown(QWidget* dialog, std::string section)
      : QObject(dialog), dialog_(dialog), section_(std::move(section)) {
    dialog->installEventFilter(this);
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == dialog_ && event->type() == QEvent::Show) {
      dialog_->removeEventFilter(this);
      PlaceAtStored(dialog_, section_);
      deleteLater();
    }
    return false;
  }

 private:
  QWidget* dialog_;
  std::string section_;
};

}  // namespace

PositionKeeper::PositionKeeper(QWidget* dialog, std::string section)
    : dialog_(dialog), section_(std::move(section)) {}

void PositionKeeper::Restore() {
  if (dialog_->isVisible())
    PlaceAtStored(dialog_, section_);
  else
    new PlaceWhenShown(dialog_, section_);
}

void PositionKeeper::Store() {
  const QRect g = dialog_->geometry();
  const RECT r{g.left(), g.top(), g.left() + g.width(), g.top() + g.height()};
  CRegistry::Write(section_, "Position", r);
}

// ---- open

CDlgFileOpen::CDlgFileOpen(const FileOpenPrompt& prompt, QWidget* parent)
    : QFileDialog(parent), position_(this, "Dialog\\FileOpen") {
  setObjectName("CDlgFileOpen");
  setOption(QFileDialog::DontUseNativeDialog);
  setWindowTitle(Q(prompt.title));
  setAcceptMode(QFileDialog::AcceptOpen);
  setFileMode(prompt.multiSelect ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
  for (const std::string& f : FilterToQt(prompt.filter)) filters_ << Q(f);
  setNameFilters(filters_);
  filterIndex_ = std::clamp(prompt.filterIndex, 1, static_cast<int>(std::max<qsizetype>(1, filters_.size())));
  if (!filters_.isEmpty()) selectNameFilter(filters_[filterIndex_ - 1]);
  if (!prompt.initialDir.empty()) setDirectory(Q(prompt.initialDir));
  connect(this, &QFileDialog::filterSelected, this, [this](const QString& f) {
    const qsizetype i = filters_.indexOf(f);
    if (i >= 0) filterIndex_ = static_cast<int>(i) + 1;
  });
  position_.Restore();
}

void CDlgFileOpen::Apply(FileOpenPrompt& prompt) const {
  prompt.paths.clear();
  for (const QString& f : selectedFiles()) prompt.paths.push_back(S(f));
  prompt.filterIndex = filterIndex_;
}

void CDlgFileOpen::done(int result) {
  position_.Store();
  QFileDialog::done(result);
}

// ---- save as

CDlgFileSave::CDlgFileSave(const FileSavePrompt& prompt, QWidget* parent)
    : QFileDialog(parent),
      entries_(ParseFilter(prompt.filter)),
      overwriteAllowed_(prompt.overwriteAllowed),
      originalFileName_(prompt.originalFileName),
      position_(this, "Dialog\\FileSave") {
  setObjectName("CDlgFileSave");
  setOption(QFileDialog::DontUseNativeDialog);
  setWindowTitle(Q(prompt.title));
  setAcceptMode(QFileDialog::AcceptSave);
  setFileMode(QFileDialog::AnyFile);
  for (const std::string& f : FilterToQt(prompt.filter)) filters_ << Q(f);
  setNameFilters(filters_);
  if (prompt.saveableFormat && prompt.filterIndex >= 1 && prompt.filterIndex <= filters_.size())
    selectNameFilter(filters_[prompt.filterIndex - 1]);
  if (!prompt.initialDir.empty()) setDirectory(Q(prompt.initialDir));
  if (!prompt.initialName.empty()) selectFile(Q(prompt.initialName));
  connect(this, &QFileDialog::filterSelected, this, &CDlgFileSave::OnFilterSelected);
  if (auto* types = findChild<QComboBox*>("fileTypeCombo")) types->installEventFilter(this);
  position_.Restore();
}

bool CDlgFileSave::eventFilter(QObject* watched, QEvent* event) {
  // Every way of picking a type from the box starts with one of these on it.
  const QEvent::Type type = event->type();
  if (type == QEvent::KeyPress || type == QEvent::MouseButtonPress || type == QEvent::Wheel)
    if (auto* nameBox = findChild<QLineEdit*>("fileNameEdit")) {
      nameBeforeSwitch_ = nameBox->text();
      haveNameBeforeSwitch_ = true;
    }
  return QFileDialog::eventFilter(watched, event);
}

const FilterEntry* CDlgFileSave::SelectedEntry() const {
  const qsizetype i = filters_.indexOf(selectedNameFilter());
  return i >= 0 && static_cast<std::size_t>(i) < entries_.size() ? &entries_[static_cast<std::size_t>(i)]
                                                                 : nullptr;
}

void CDlgFileSave::OnFilterSelected(const QString&) {
  const FilterEntry* entry = SelectedEntry();
  const bool before = haveNameBeforeSwitch_;
  haveNameBeforeSwitch_ = false;
  if (!entry) return;
  QString name = nameBeforeSwitch_;
  if (!before) {
    const QStringList files = selectedFiles();
    if (files.isEmpty()) return;
    name = QFileInfo(files.first()).fileName();
  }
  if (name.isEmpty()) return;
  selectFile(Q(AdjustExtensionForFilter(S(name), *entry)));
}

void CDlgFileSave::accept() {
  const QStringList files = selectedFiles();
  const QString full = files.isEmpty() ? QString() : files.first();
  const QFileInfo info(full);
  const std::string name = info.isDir() || full.isEmpty() ? std::string() : S(info.fileName());
  const SaveNameCheck check =
      CheckSaveName(name, S(full), SelectedEntry(), overwriteAllowed_, originalFileName_);
  switch (check.verdict) {
    case SaveNameVerdict::kRefused: Inform(check.message); return;
    case SaveNameVerdict::kCompleted: selectFile(Q(check.name)); return;
    case SaveNameVerdict::kOk: QFileDialog::accept(); return;
  }
}

void CDlgFileSave::Apply(FileSavePrompt& prompt) const {
  const QStringList files = selectedFiles();
  prompt.path = files.isEmpty() ? std::string() : S(files.first());
  const qsizetype i = filters_.indexOf(selectedNameFilter());
  if (i >= 0) prompt.filterIndex = static_cast<int>(i) + 1;
}

void CDlgFileSave::done(int result) {
  position_.Store();
  QFileDialog::done(result);
}

// ---- raw layout

CDlgLoadRaw::CDlgLoadRaw(const LoadRawPrompt& prompt, QWidget* parent)
    : QDialog(parent), values_(prompt), position_(this, "Dialog\\LoadByteImage") {
  setObjectName("CDlgLoadRaw");
  setWindowTitle(Q(ft::kRawTitle));
  auto* layout = new QVBoxLayout(this);
  // One labelled row per field; each label's key moves to its field.
  auto* form = new QFormLayout;
  form->setObjectName("rawForm");
  layout->addLayout(form);
  auto* file = new QLabel(QFileInfo(Q(prompt.path)).fileName(), this);
  file->setObjectName("fileName");
  form->addRow(Q("ﾌｧｲﾙ名："), file);
  auto* size = new QLabel(QString::number(prompt.fileSize), this);
  size->setObjectName("fileSize");
  auto* sizeRow = new QHBoxLayout;
  sizeRow->addWidget(size);
  sizeRow->addWidget(new QLabel(Q("ﾊﾞｲﾄ"), this));
  sizeRow->addStretch(1);
  form->addRow(Q("ﾌｧｲﾙｻｲｽﾞ："), sizeRow);
  auto edit = [&](const char* name, const char* label, const char* unit, const std::string& text,
                  int max) {
    auto* e = new QLineEdit(Q(text), this);
    e->setObjectName(name);
    e->setMaxLength(max);
    auto* row = new QHBoxLayout;
    row->addWidget(e);
    row->addWidget(new QLabel(Q(unit), this));
    row->addStretch(1);
    auto* l = new QLabel(Q(label), this);
    l->setBuddy(e);
    form->addRow(l, row);
    return e;
  };
  width_ = edit("width", "幅(&W)：", "ﾋﾟｸｾﾙ", prompt.width, 4);
  height_ = edit("height", "高さ(&H)：", "ﾋﾟｸｾﾙ", prompt.height, 4);
  header_ = edit("header", "ﾍｯﾀﾞｰｻｲｽﾞ(&E)：", "ﾊﾞｲﾄ", prompt.header, 10);
  auto group = [&](const char* name, const char* label,
                   std::initializer_list<std::pair<const char*, std::string_view>> items,
                   int checked) {
    auto* g = new QButtonGroup(this);
    g->setObjectName(name);
    auto* row = new QHBoxLayout;
    int id = 0;
    for (auto [objectName, text] : items) Radio(this, g, id++, text, objectName, row);
    row->addStretch(1);
    auto* l = new QLabel(Q(label), this);
    l->setBuddy(g->button(0));
    form->addRow(l, row);
    if (QAbstractButton* b = g->button(checked)) b->setChecked(true);
    return g;
  };
  plane_ = group("plane", "ﾌﾟﾚｰﾝ(&P)：", {{"gray", "ｸﾞﾚｰ"}, {"color", "ｶﾗｰ"}}, prompt.plane);
  dataType_ =
      group("dataType", "ﾃﾞｰﾀ型(&T)：", {{"integer", "整数"}, {"real", "実数"}}, prompt.dataType);
  bits_ =
      group("bits", "ﾋﾞｯﾄ数(&B)：",
            {{"bits8", "8"}, {"bits16", "16"}, {"bits32", "32"}, {"bits64", "64"}}, prompt.bits);
  byteOrder_ =
      group("byteOrder", "ﾊﾞｲﾄｵｰﾀﾞｰ(&O)：", {{"ibm", "IBM"}, {"mac", "MAC"}}, prompt.byteOrder);
  sign_ = group("sign", "符号(&S)：", {{"signed", "あり"}, {"unsigned", "なし"}}, prompt.sign);
  OkCancel(this, layout);
  position_.Restore();
}

void CDlgLoadRaw::accept() {
  const std::string w = S(width_->text()), h = S(height_->text()), hd = S(header_->text());
  if (auto m = ValidateLoadRaw(w, h, hd, dataType_->checkedId(), sign_->checkedId(),
                               bits_->checkedId())) {
    Inform(*m);
    return;
  }
  static constexpr int kBytes[4] = {1, 2, 4, 8};
  const RawSize size = CheckRawSize(values_.fileSize, std::stoll(w), std::stoll(h),
                                    plane_->checkedId() == 1 ? 3 : 1,
                                    kBytes[std::clamp(bits_->checkedId(), 0, 3)], std::stoll(hd));
  if (size == RawSize::kTooSmall) {
    Inform(ft::kRawTooSmall);
    return;
  }
  if (size == RawSize::kTailUnused &&
      AfxMessageBox(std::string(ft::kRawTailUnused), MB_OKCANCEL | MB_ICONQUESTION) != IDOK)
    return;
  QDialog::accept();
}

void CDlgLoadRaw::Apply(LoadRawPrompt& prompt) const {
  prompt.width = S(width_->text());
  prompt.height = S(height_->text());
  prompt.header = S(header_->text());
  prompt.plane = plane_->checkedId();
  prompt.dataType = dataType_->checkedId();
  prompt.byteOrder = byteOrder_->checkedId();
  prompt.sign = sign_->checkedId();
  prompt.bits = bits_->checkedId();
}

void CDlgLoadRaw::done(int result) {
  position_.Store();
  QDialog::done(result);
}

// ---- planes of a cube

CDlgLFits3D::CDlgLFits3D(const LoadFits3DPrompt& prompt, QWidget* parent) : QDialog(parent) {
  setObjectName("CDlgLFits3D");
  setWindowTitle(Q(ft::kFits3DTitle));
  auto* layout = new QVBoxLayout(this);
  auto* countRow = new QHBoxLayout;
  countRow->addWidget(new QLabel(Q(ft::kFits3DPlaneCount), this));
  auto* count = new QLabel(QString::number(prompt.planeCount), this);
  count->setObjectName("planeCount");
  countRow->addWidget(count, 1);
  layout->addLayout(countRow);
  auto* group = new QButtonGroup(this);
  gray_ = Radio(this, group, 0, ft::kFits3DGray, "gray", layout);
  auto list = [&](const char* name) {
    auto* c = new QComboBox(this);
    c->setObjectName(name);
    for (const std::string& label : Fits3DLabels(prompt.planeCount, prompt.siTypeRGB))
      c->addItem(Q(label));
    layout->addWidget(c);
    return c;
  };
  grayList_ = list("grayPlane");
  color_ = Radio(this, group, 1, ft::kFits3DColor, "color", layout);
  redList_ = list("redPlane");
  greenList_ = list("greenPlane");
  blueList_ = list("bluePlane");
  (prompt.color ? color_ : gray_)->setChecked(true);
  grayList_->setCurrentIndex(prompt.gray);
  redList_->setCurrentIndex(prompt.red);
  greenList_->setCurrentIndex(prompt.green);
  blueList_->setCurrentIndex(prompt.blue);
  connect(gray_, &QRadioButton::toggled, this, &CDlgLFits3D::UpdateEnabled);
  UpdateEnabled();
  OkCancel(this, layout);
}

void CDlgLFits3D::UpdateEnabled() {
  const bool color = color_->isChecked();
  grayList_->setEnabled(!color);
  redList_->setEnabled(color);
  greenList_->setEnabled(color);
  blueList_->setEnabled(color);
}

void CDlgLFits3D::Apply(LoadFits3DPrompt& prompt) const {
  prompt.color = color_->isChecked();
  prompt.gray = grayList_->currentIndex();
  prompt.red = redList_->currentIndex();
  prompt.green = greenList_->currentIndex();
  prompt.blue = blueList_->currentIndex();
}

// ---- FITS bits

CDlgSaveFits::CDlgSaveFits(const SaveFitsPrompt& prompt, QWidget* parent)
    : QDialog(parent), position_(this, "Dialog\\SaveFits") {
  setObjectName("CDlgSaveFits");
  setWindowTitle(Q(ft::kSaveFitsTitle));
  auto* layout = new QVBoxLayout(this);
  auto* types = new QButtonGroup(this);
  integer_ = Radio(this, types, 0, ft::kSaveFitsInteger, "integer", layout);
  real_ = Radio(this, types, 1, ft::kSaveFitsReal, "real", layout);
  bits_ = new QButtonGroup(this);
  Radio(this, bits_, 0, ft::kBits8, "bits8", layout);
  Radio(this, bits_, 1, ft::kBits16, "bits16", layout);
  Radio(this, bits_, 2, ft::kBits32, "bits32", layout);
  Radio(this, bits_, 3, ft::kBits64, "bits64", layout);
  const SaveFitsState s = SaveFitsFromBits(prompt.bits);
  (s.real ? real_ : integer_)->setChecked(true);
  bits_->button(s.bitsIndex)->setChecked(true);
  SetReal(s.real);
  connect(real_, &QRadioButton::toggled, this, &CDlgSaveFits::SetReal);
  OkCancel(this, layout);
  position_.Restore();
}

SaveFitsState CDlgSaveFits::State() const { return {real_->isChecked(), bits_->checkedId()}; }

void CDlgSaveFits::SetReal(bool real) {
  const SaveFitsState s = SaveFitsSetReal(State(), real);
  for (int i = 0; i < 4; ++i) bits_->button(i)->setEnabled(SaveFitsBitsEnabled(real, i));
  bits_->button(s.bitsIndex)->setChecked(true);
}

void CDlgSaveFits::accept() {
  const std::optional<int> bits = SaveFitsBits(State());
  if (!bits) {
    Inform(ft::kSaveFitsBad);
    return;
  }
  chosen_ = *bits;
  QDialog::accept();
}

void CDlgSaveFits::Apply(SaveFitsPrompt& prompt) const { prompt.bits = chosen_; }

void CDlgSaveFits::done(int result) {
  position_.Store();
  QDialog::done(result);
}

// ---- the conversion question

CDlgChangeBitsFits::CDlgChangeBitsFits(const ChangeBitsFitsPrompt& prompt, QWidget* parent)
    : QDialog(parent) {
  setObjectName("CDlgChangeBitsFits");
  setWindowTitle(Q(ft::kChangeBitsTitle));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(Q(ft::kChangeBitsQuestion), this));
  auto* group = new QButtonGroup(this);
  clip_ = Radio(this, group, 0, ft::kChangeBitsClip, "clip", layout);
  compress_ = Radio(this, group, 3, ft::kChangeBitsCompress, "compress", layout);
  (prompt.mode == 3 ? compress_ : clip_)->setChecked(true);
  OkCancel(this, layout);
}

void CDlgChangeBitsFits::Apply(ChangeBitsFitsPrompt& prompt) const {
  prompt.mode = compress_->isChecked() ? 3 : 0;
}

// ---- TIFF

CDlgSaveTiff::CDlgSaveTiff(const SaveTiffPrompt& prompt, QWidget* parent)
    : QDialog(parent), position_(this, "DlgSaveTiff") {
  setObjectName("CDlgSaveTiff");
  setWindowTitle(Q(ft::kSaveTiffTitle));
  auto* layout = new QVBoxLayout(this);
  bits_ = new QButtonGroup(this);
  Radio(this, bits_, 8, ft::kBits8, "bits8", layout);
  Radio(this, bits_, 16, ft::kBits16, "bits16", layout);
  bits_->button(prompt.bits == 16 ? 16 : 8)->setChecked(true);
  order_ = new QButtonGroup(this);
  Radio(this, order_, 0, "IBM PC形式", "ibm", layout);
  Radio(this, order_, 1, "Macintosh形式", "mac", layout);
  order_->button(prompt.byteOrder == 1 ? 1 : 0)->setChecked(true);
  compression_ = new QComboBox(this);
  compression_->setObjectName("compression");
  compression_->addItems({"無圧縮", "LZW圧縮", "Packbits圧縮"});
  compression_->setCurrentIndex(std::clamp(prompt.compression, 0, 2));
  layout->addWidget(compression_);
  OkCancel(this, layout);
  position_.Restore();
}

void CDlgSaveTiff::Apply(SaveTiffPrompt& prompt) const {
  prompt.bits = bits_->checkedId();
  prompt.byteOrder = order_->checkedId();
  prompt.compression = compression_->currentIndex();
}

void CDlgSaveTiff::done(int result) {
  position_.Store();
  QDialog::done(result);
}

// ---- quality boxes

QualityBox::QualityBox(QWidget* parent, const char* name, int value) {
  slider = new QSlider(Qt::Horizontal, parent);
  slider->setObjectName(QString(name) + "Slider");
  slider->setRange(1, 10);
  slider->setPageStep(1);
  slider->setValue(std::clamp(value, 1, 10));
  edit = new QLineEdit(QString::number(slider->value()), parent);
  edit->setObjectName(QString(name) + "Edit");
  edit->setMaxLength(2);
  QObject::connect(slider, &QSlider::valueChanged, edit, [e = edit](int v) {
    if (e->text() != QString::number(v)) e->setText(QString::number(v));
  });
  QObject::connect(edit, &QLineEdit::textChanged, slider, [s = slider](const QString& t) {
    bool ok = false;
    const int v = t.toInt(&ok);
    if (ok && v >= 1 && v <= 10) s->setValue(v);
  });
}

void QualityBox::AddRow(QBoxLayout* layout, std::string_view label, std::string_view low,
                        std::string_view high) {
  auto* row = new QHBoxLayout;
  QWidget* parent = slider->parentWidget();
  auto* name = new QLabel(Q(label), parent);
  name->setBuddy(slider);
  row->addWidget(name);
  row->addWidget(new QLabel(Q(low), parent));
  row->addWidget(slider, 1);
  row->addWidget(new QLabel(Q(high), parent));
  edit->setMaximumWidth(edit->fontMetrics().horizontalAdvance(QStringLiteral("000")) + 12);
  row->addWidget(edit);
  layout->addLayout(row);
}

CDlgSaveJpeg::CDlgSaveJpeg(const SaveJpegPrompt& prompt, QWidget* parent)
    : QDialog(parent), quality_(this, "quality", prompt.quality), position_(this, "Dialog\\SaveJpeg") {
  setObjectName("CDlgSaveJpeg");
  setWindowTitle(Q(ft::kSaveJpegTitle));
  auto* layout = new QVBoxLayout(this);
  quality_.AddRow(layout, ft::kSaveJpegQuality, ft::kSaveJpegQualityLow, ft::kSaveJpegQualityHigh);
  progressive_ = new QCheckBox(Q(ft::kSaveJpegProgressive), this);
  progressive_->setObjectName("progressive");
  progressive_->setChecked(prompt.progressive);
  layout->addWidget(progressive_);
  value_ = quality_.slider->value();
  OkCancel(this, layout);
  position_.Restore();
}

void CDlgSaveJpeg::accept() {
  const QualityCheck c = CheckJpegQuality(S(quality_.edit->text()));
  if (!c.message.empty()) {
    Inform(c.message);
    return;
  }
  value_ = c.value;
  QDialog::accept();
}

void CDlgSaveJpeg::Apply(SaveJpegPrompt& prompt) const {
  prompt.quality = value_;
  prompt.progressive = progressive_->isChecked();
}

void CDlgSaveJpeg::done(int result) {
  position_.Store();
  QDialog::done(result);
}

// ---- PNG

CDlgSavePng::CDlgSavePng(const SavePngPrompt& prompt, QWidget* parent)
    : QDialog(parent), level_(this, "compression", prompt.compression), position_(this, "DlgSavePng") {
  setObjectName("CDlgSavePng");
  setWindowTitle(Q(ft::kSavePngTitle));
  auto* layout = new QVBoxLayout(this);
  level_.AddRow(layout, ft::kSavePngLevel, ft::kSavePngLevelLow, ft::kSavePngLevelHigh);
  interlace_ = new QCheckBox(Q(ft::kSavePngInterlace), this);
  interlace_->setObjectName("interlace");
  interlace_->setChecked(prompt.interlace);
  layout->addWidget(interlace_);
  bits_ = new QButtonGroup(this);
  Radio(this, bits_, 0, ft::kBits8, "bits8", layout);
  Radio(this, bits_, 1, ft::kBits16, "bits16", layout);
  bits_->button(prompt.bitDepth == 1 ? 1 : 0)->setChecked(true);
  value_ = level_.slider->value();
  OkCancel(this, layout);
  position_.Restore();
}

void CDlgSavePng::accept() {
  const QualityCheck c = CheckJpegQuality(S(level_.edit->text()));
  if (!c.message.empty()) {
    Inform(c.message);
    return;
  }
  value_ = c.value;
  QDialog::accept();
}

void CDlgSavePng::Apply(SavePngPrompt& prompt) const {
  prompt.compression = value_;
  prompt.interlace = interlace_->isChecked();
  prompt.bitDepth = bits_->checkedId();
}

void CDlgSavePng::done(int result) {
  position_.Store();
  QDialog::done(result);
}

// ---- BMP, GIF, SBIG

CDlgSaveBmp::CDlgSaveBmp(const SaveBmpPrompt& prompt, QWidget* parent)
    : QDialog(parent), position_(this, "DlgSaveBmp") {
  setObjectName("CDlgSaveBmp");
  setWindowTitle(Q(ft::kSaveBmpTitle));
  auto* layout = new QVBoxLayout(this);
  auto* group = new QButtonGroup(this);
  bits8_ = Radio(this, group, 8, ft::kBits8, "bits8", layout);
  auto* bits24 = Radio(this, group, 24, ft::kBits24, "bits24", layout);
  (prompt.bits == 8 ? bits8_ : bits24)->setChecked(true);
  OkCancel(this, layout);
  position_.Restore();
}

void CDlgSaveBmp::Apply(SaveBmpPrompt& prompt) const { prompt.bits = bits8_->isChecked() ? 8 : 24; }

void CDlgSaveBmp::done(int result) {
  position_.Store();
  QDialog::done(result);
}

CDlgSaveGif::CDlgSaveGif(const SaveGifPrompt& prompt, QWidget* parent)
    : QDialog(parent), position_(this, "DlgSaveGif") {
  setObjectName("CDlgSaveGif");
  setWindowTitle(Q(ft::kSaveGifTitle));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(Q(ft::kSaveGifNote), this));
  type_ = new QComboBox(this);
  type_->setObjectName("type");
  type_->addItem("GIF89a", 2);
  type_->addItem("GIF89a インターレース", 3);
  type_->addItem("GIF87a", 0);
  type_->addItem("GIF87a インターレース", 1);
  type_->setCurrentIndex(std::max(0, type_->findData(prompt.type)));
  layout->addWidget(type_);
  OkCancel(this, layout);
  position_.Restore();
}

void CDlgSaveGif::Apply(SaveGifPrompt& prompt) const { prompt.type = type_->currentData().toInt(); }

void CDlgSaveGif::done(int result) {
  position_.Store();
  QDialog::done(result);
}

CDlgSSbig::CDlgSSbig(const SaveSbigPrompt& prompt, QWidget* parent)
    : QDialog(parent), position_(this, "DlgSaveFits") {
  setObjectName("CDlgSSbig");
  setWindowTitle(Q(ft::kSaveSbigTitle));
  auto* layout = new QVBoxLayout(this);
  auto* camera = new QLabel(Q(prompt.camera), this);
  camera->setObjectName("camera");
  layout->addWidget(camera);
  compression_ = new QCheckBox(Q(ft::kSaveSbigCompress), this);
  compression_->setObjectName("compression");
  compression_->setChecked(prompt.compression);
  layout->addWidget(compression_);
  OkCancel(this, layout);
  position_.Restore();
}

void CDlgSSbig::Apply(SaveSbigPrompt& prompt) const { prompt.compression = compression_->isChecked(); }

void CDlgSSbig::done(int result) {
  position_.Store();
  QDialog::done(result);
}

// ---- the answerer

namespace {
template <typename Dialog, typename P>
bool Run(Prompt& prompt, QWidget* parent) {
  auto& p = static_cast<P&>(prompt);
  Dialog dialog(p, parent);
  if (dialog.exec() != QDialog::Accepted) return false;
  dialog.Apply(p);
  return true;
}
}  // namespace

bool QtUserPrompts::Ask(Prompt& prompt) {
  const std::string_view k = prompt.Kind();
  if (k == FileOpenPrompt::kKind) return Run<CDlgFileOpen, FileOpenPrompt>(prompt, parent_);
  if (k == FileSavePrompt::kKind) return Run<CDlgFileSave, FileSavePrompt>(prompt, parent_);
  if (k == LoadRawPrompt::kKind) return Run<CDlgLoadRaw, LoadRawPrompt>(prompt, parent_);
  if (k == LoadFits3DPrompt::kKind) return Run<CDlgLFits3D, LoadFits3DPrompt>(prompt, parent_);
  if (k == FitsUnitPrompt::kKind) return Run<CDlgFitsUnit, FitsUnitPrompt>(prompt, parent_);
  if (k == SaveFitsPrompt::kKind) return Run<CDlgSaveFits, SaveFitsPrompt>(prompt, parent_);
  if (k == ChangeBitsFitsPrompt::kKind)
    return Run<CDlgChangeBitsFits, ChangeBitsFitsPrompt>(prompt, parent_);
  if (k == SaveTiffPrompt::kKind) return Run<CDlgSaveTiff, SaveTiffPrompt>(prompt, parent_);
  if (k == SaveJpegPrompt::kKind) return Run<CDlgSaveJpeg, SaveJpegPrompt>(prompt, parent_);
  if (k == SavePngPrompt::kKind) return Run<CDlgSavePng, SavePngPrompt>(prompt, parent_);
  if (k == SaveBmpPrompt::kKind) return Run<CDlgSaveBmp, SaveBmpPrompt>(prompt, parent_);
  if (k == SaveGifPrompt::kKind) return Run<CDlgSaveGif, SaveGifPrompt>(prompt, parent_);
  if (k == SaveSbigPrompt::kKind) return Run<CDlgSSbig, SaveSbigPrompt>(prompt, parent_);
  return false;
}
