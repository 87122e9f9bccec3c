#include "dialogs/listtarget.h"

#include <algorithm>

#include "dialogs/pickersupport.h"
#include "dialogs/vumdialog.h"
#include "engine/ralimage.h"

namespace {
constexpr int kDocRole = Qt::UserRole;
// The document's QObject, kept while it lives: it is what destroyed() names.
constexpr int kObjectRole = Qt::UserRole + 1;

CVumDocument* DocumentOf(const QListWidgetItem* item) {
  if (!item) return nullptr;
  const QVariant data = item->data(kDocRole);
  return data.isValid() ? reinterpret_cast<CVumDocument*>(data.value<quintptr>()) : nullptr;
}

std::string SortKey(const QListWidgetItem* item) {
  if (CVumDocument* doc = DocumentOf(item)) return picker::FileKeyOfDocument(doc);
  return item->text().toStdString();
}
}  // namespace

CListTarget::CListTarget(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
}

CListTarget::~CListTarget() = default;

int CListTarget::OnAdd() {
  const std::vector<std::string> chosen = picker::AskOpenFiles(m_nFileType, true);
  if (chosen.empty()) return 0;
  AddFiles(chosen);
  return 1;
}

void CListTarget::AddFiles(const std::vector<std::string>& paths) {
  if (paths.empty()) return;
  // Last first, each at the top, so the chosen order stays.
  for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
    const QString text = QString::fromStdString(*it);
    for (int i = count() - 1; i >= 0; --i)
      if (!DocumentOf(item(i)) && item(i)->text() == text) delete takeItem(i);
    insertItem(0, text);
  }
  setCurrentRow(0);
  emit listChanged();
}

void CListTarget::AddDocument(CVumDocument* doc) {
  if (!doc || FindDocument(doc) >= 0) return;
  auto* entry = new QListWidgetItem(QString::fromStdString(doc->GetVumTitle()));
  entry->setData(kDocRole, QVariant::fromValue(reinterpret_cast<quintptr>(doc)));
  if (QObject* object = picker::ObjectOfDocument(doc)) {
    entry->setData(kObjectRole, QVariant::fromValue(reinterpret_cast<quintptr>(object)));
    connect(object, &QObject::destroyed, this, &CListTarget::OnDocumentDestroyed,
            Qt::UniqueConnection);
  }
  addItem(entry);
  emit listChanged();
}

void CListTarget::OnDocumentDestroyed(QObject* object) {
  // Only compared: what is being destroyed is not to be looked into.
  const auto key = reinterpret_cast<quintptr>(object);
  const int selected = currentRow();
  bool removed = false;
  for (int i = count() - 1; i >= 0; --i) {
    const QVariant data = item(i)->data(kObjectRole);
    if (!data.isValid() || data.value<quintptr>() != key) continue;
    delete takeItem(i);
    removed = true;
  }
  if (!removed) return;
  // As after a removal by the user: the entry now in the selected one's place, else the
  // last, when the selected entry was the one that went.
  if (count() > 0 && currentRow() < 0) setCurrentRow(std::clamp(selected, 0, count() - 1));
  emit listChanged();
}

void CListTarget::OnRemove() {
  const int row = currentRow();
  if (row < 0 || row >= count()) return;
  delete takeItem(row);
  if (count() > 0) setCurrentRow(std::min(row, count() - 1));
  emit listChanged();
}

void CListTarget::SortByFile() {
  QListWidgetItem* selected = currentItem();
  std::vector<QListWidgetItem*> items;
  while (count() > 0) items.push_back(takeItem(0));
  std::stable_sort(
      items.begin(), items.end(),
      [](const QListWidgetItem* a, const QListWidgetItem* b) { return SortKey(a) < SortKey(b); });
  for (QListWidgetItem* i : items) addItem(i);
  if (selected) setCurrentItem(selected);
  emit listChanged();
}

CVumDocument* CListTarget::GetDocumentAt(int index) const {
  return DocumentOf(item(index));
}

std::string CListTarget::GetNameAt(int index) const {
  const QListWidgetItem* i = item(index);
  return i ? i->text().toStdString() : std::string();
}

int CListTarget::FindDocument(const CVumDocument* doc) const {
  for (int i = 0; i < count(); ++i)
    if (DocumentOf(item(i)) == doc) return i;
  return -1;
}

CRalImage* CListTarget::GetImage(int index, int openAsWindow, CVumDocument** doc) {
  if (doc) *doc = nullptr;
  if (index < 0 || index >= count()) return nullptr;
  if (CVumDocument* d = GetDocumentAt(index)) {
    if (!picker::IsOpenDocument(d)) return nullptr;
    if (doc) *doc = d;
    return picker::ImageOfDocument(d);
  }
  const std::string name = GetNameAt(index);
  if (openAsWindow) return picker::OpenImageInWindow(name, doc);
  if (!m_pImage) m_pImage = std::make_unique<CRalImage>();
  if (!picker::ReadImageForProcessing(*m_pImage, name)) {
    m_pImage.reset();
    return nullptr;
  }
  return m_pImage.get();
}
