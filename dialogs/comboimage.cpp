// Item data: a window entry carries its document pointer (as quintptr), a file entry
// carries nothing; windows come first, files after them.
#include "dialogs/comboimage.h"

#include <QCheckBox>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "batch/batchnaming.h"
#include "batch/batchtexts.h"
#include "dialogs/pickersupport.h"
#include "dialogs/vumdialog.h"
#include "engine/ralimage.h"
#include "platform/messagebox.h"
#include "settings/registry.h"

namespace {
// The document's QObject, kept while it lives: it is what destroyed() names.
constexpr int kObjectRole = Qt::UserRole + 1;

CVumDocument* DocumentOf(const QVariant& data) {
  return data.isValid() ? reinterpret_cast<CVumDocument*>(data.value<quintptr>()) : nullptr;
}

// A window's file as it is remembered and compared: absolute and without "." or "..";
// empty for a window without a file.
std::string FileOfDocument(const CVumDocument* doc) {
  const std::string path = doc ? doc->GetVumPathName() : std::string();
  if (path.empty()) return path;
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? std::string() : absolute.lexically_normal().string();
}
}  // namespace

CComboImage::CComboImage(QWidget* parent) : QComboBox(parent) {
  setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  setMinimumContentsLength(24);
  connect(this, &QComboBox::currentIndexChanged, this, [this] { m_strRead.clear(); });
}

CComboImage::~CComboImage() = default;

int CComboImage::FirstFileIndex() const {
  for (int i = 0; i < count(); ++i)
    if (!DocumentOf(itemData(i))) return i;
  return count();
}

void CComboImage::ReadHistory(const std::string& section, const std::string& key) {
  clear();
  std::string title;
  CRegistry::Read(section, key, "", title);
  int select = -1;
  for (CVumDocument* doc : picker::OpenDocuments()) {
    const std::string t = doc->GetVumTitle();
    if (select < 0 && !title.empty() && t == title) select = count();
    addItem(QString::fromStdString(t), QVariant::fromValue(reinterpret_cast<quintptr>(doc)));
    if (QObject* object = picker::ObjectOfDocument(doc)) {
      setItemData(count() - 1, QVariant::fromValue(reinterpret_cast<quintptr>(object)),
                  kObjectRole);
      connect(object, &QObject::destroyed, this, &CComboImage::OnDocumentDestroyed,
              Qt::UniqueConnection);
    }
  }
  const int windows = count();
  const std::vector<std::string> history = picker::ReadHistory(section, key, kHistory);
  for (const std::string& path : history)
    if (picker::FileExists(path)) addItem(QString::fromStdString(path));
  if (m_bByPath) {
    select = -1;
    if (title.empty()) {
      // A file was chosen last: it heads the history, and is selected while it exists.
      if (!history.empty() && windows < count() &&
          itemText(windows) == QString::fromStdString(history.front()))
        select = windows;
    } else if (title.front() == '/') {
      for (int i = 0; i < windows; ++i)
        if (FileOfDocument(DocumentOf(itemData(i))) == title) {
          select = i;
          break;
        }
    }
  } else if (select < 0) {
    select = windows < count() ? windows : (count() > 0 ? 0 : -1);
  }
  setCurrentIndex(select);
}

void CComboImage::OnDocumentDestroyed(QObject* object) {
  // Only compared: what is being destroyed is not to be looked into.
  const auto key = reinterpret_cast<quintptr>(object);
  for (int i = FirstFileIndex() - 1; i >= 0; --i) {
    const QVariant data = itemData(i, kObjectRole);
    if (data.isValid() && data.value<quintptr>() == key) removeItem(i);
  }
}

void CComboImage::WriteHistory(const std::string& section, const std::string& key) {
  std::vector<std::string> files = GetFiles();
  if (IsFileSelected()) picker::MoveToFront(files, GetFileName(), kHistory);
  picker::WriteHistory(section, key, files, kHistory);
  CVumDocument* doc = GetDocument();
  if (!m_bByPath) {
    CRegistry::Write(section, key, doc ? doc->GetVumTitle() : std::string());
    return;
  }
  std::string chosen;  // empty: the file at the head of the history
  if (!IsFileSelected()) {
    const std::string path = FileOfDocument(doc);
    chosen = path.empty() ? std::string(kNothingChosen) : path;
  }
  CRegistry::Write(section, key, chosen);
}

int CComboImage::SelectFile() {
  const std::vector<std::string> chosen = picker::AskOpenFiles(m_nFileType, false);
  if (chosen.empty()) return 0;
  AddFile(chosen.front());
  return 1;
}

void CComboImage::AddFile(const std::string& path) {
  // A file chosen again is read again.
  m_strRead.clear();
  const QString text = QString::fromStdString(path);
  for (int i = count() - 1; i >= FirstFileIndex(); --i)
    if (itemText(i) == text) removeItem(i);
  const int top = FirstFileIndex();
  insertItem(top, text);
  // Only the history's length of files is kept.
  while (count() - FirstFileIndex() > kHistory) removeItem(count() - 1);
  setCurrentIndex(top);
}

CVumDocument* CComboImage::GetDocument() const {
  return currentIndex() >= 0 ? DocumentOf(currentData()) : nullptr;
}

std::string CComboImage::GetFileName() const {
  return IsFileSelected() ? currentText().toStdString() : std::string();
}

std::vector<std::string> CComboImage::GetFiles() const {
  std::vector<std::string> out;
  for (int i = FirstFileIndex(); i < count(); ++i) out.push_back(itemText(i).toStdString());
  return out;
}

CRalImage* CComboImage::GetImage(int openAsWindow, CVumDocument** doc) {
  if (doc) *doc = nullptr;
  if (currentIndex() < 0) return nullptr;
  if (CVumDocument* d = GetDocument()) {
    // A window closed since the list was filled gives nothing.
    if (!picker::IsOpenDocument(d)) return nullptr;
    if (doc) *doc = d;
    return picker::ImageOfDocument(d);
  }
  const std::string name = GetFileName();
  if (openAsWindow) return picker::OpenImageInWindow(name, doc);
  if (name == m_strRead) return m_pImage.get();
  m_strRead = name;
  m_pImage = std::make_unique<CRalImage>();
  if (!picker::ReadImageForProcessing(*m_pImage, name)) m_pImage.reset();
  return m_pImage.get();
}

bool CComboImage::CalibrationFramesChosen(QCheckBox* const checks[4],
                                          CComboImage* const pickers[4]) {
  constexpr std::string_view kNames[4] = {batch_text::kBiasName, batch_text::kDarkName,
                                          batch_text::kFlatName, batch_text::kFlatDarkName};
  for (int i = 0; i < 4; ++i) {
    const bool used = checks[i]->isChecked() && (i != 3 || checks[2]->isChecked());
    if (!used || pickers[i]->currentIndex() >= 0) continue;
    AfxMessageBox(batch::Format(batch_text::kFrameNotChosen, kNames[i]),
                  MB_OK | MB_ICONEXCLAMATION);
    pickers[i]->setFocus();
    return false;
  }
  return true;
}
