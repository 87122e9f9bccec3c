// The pickers' shared services. An open window's image is asked from its view with the
// image message rather than taken from the document, so the dialogs need no knowledge of
// the program's document class.
#include "dialogs/pickersupport.h"

#include <sys/stat.h>

#include <QObject>
#include <algorithm>
#include <cstdint>
#include <new>

#include "dialogs/vumdialog.h"
#include "engine/ralimage.h"
#include "fileio/filedialogs.h"
#include "fileio/prompts.h"
#include "fileio/ralimageio.h"
#include "fileio/readparam.h"
#include "settings/registry.h"

namespace picker {

std::vector<CVumDocument*> OpenDocuments() {
  CVumDocTemplate* t = CVumDoc::GetDocTemplate();
  return t ? t->GetVumDocuments() : std::vector<CVumDocument*>{};
}

bool IsOpenDocument(const CVumDocument* doc) {
  if (!doc) return false;
  const std::vector<CVumDocument*> docs = OpenDocuments();
  return std::find(docs.begin(), docs.end(), doc) != docs.end();
}

CRalImage* ImageOfDocument(CVumDocument* doc) {
  if (!doc) return nullptr;
  const std::vector<CVumView*> views = doc->GetVumViews();
  if (views.empty() || !views.front()) return nullptr;
  CRalImage* image = nullptr;
  views.front()->SendVumMessage(vum::WM_VUM_GET_IMAGE, reinterpret_cast<std::uintptr_t>(&image), 0);
  return image;
}

QObject* ObjectOfDocument(CVumDocument* doc) {
  // The interface is no QObject itself, so that stand-ins need not be; the program's
  // documents derive from both.
  return dynamic_cast<QObject*>(doc);
}

std::string FileKeyOfDocument(const CVumDocument* doc) {
  if (!doc) return {};
  std::string path = doc->GetVumPathName();
  return path.empty() ? doc->GetVumTitle() : path;
}

int ReadImageForProcessing(CRalImage& image, const std::string& name) {
  std::string path = name;
  CReadParam param;
  (void)CVumDoc::GetFileNameAndPrm(path, &param);
  if (param.GetFileType() == FILETYPE_RAW && !CRalImageIO::GetLoadRawParam(path, &param)) return 0;
  int autoLevel = 0;
  try {
    if (!CRalImageIO::ReadFile(image, path, &param, -32, &autoLevel)) return 0;
    if (!image.HasOwnLevel() && autoLevel) CPrcAutoLevel::Do(image, nullptr);
    for (int p = 0; p < image.GetPlanes(); ++p)
      image.SetOrgDefaultLevel(p, image.GetLevelMin(p), image.GetLevelMax(p));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 1;
}

CRalImage* OpenImageInWindow(const std::string& name, CVumDocument** doc) {
  if (doc) *doc = nullptr;
  CVumDocTemplate* t = CVumDoc::GetDocTemplate();
  CVumDocument* opened = t ? t->OpenVumDocument(name) : nullptr;
  if (!opened) return nullptr;
  if (doc) *doc = opened;
  return ImageOfDocument(opened);
}

std::vector<std::string> AskOpenFiles(int fileType, bool multiSelect) {
  const OpenDialogSetup setup = OpenImageSetup(fileType);
  FileOpenPrompt prompt;
  prompt.title = setup.title;
  prompt.filter = setup.filter;
  prompt.multiSelect = multiSelect;
  CRegistry::Read("IO", setup.folderKey, "", prompt.initialDir);
  CRegistry::Read("IO", setup.filterIndexKey, 1, prompt.filterIndex, CRegistry::TYPE_INT);
  if (!GetUserPrompts().Ask(prompt) || prompt.paths.empty()) return {};
  const std::string& first = prompt.paths.front();
  const std::size_t slash = first.find_last_of('/');
  if (slash != std::string::npos)
    CRegistry::Write("IO", setup.folderKey, first.substr(0, slash == 0 ? 1 : slash));
  CRegistry::Write("IO", setup.filterIndexKey, prompt.filterIndex, CRegistry::TYPE_INT);
  std::vector<std::string> out = prompt.paths;
  if (!multiSelect && out.size() > 1) out.resize(1);
  if (fileType == FILETYPE_USFITS)
    for (std::string& p : out) p += "<USF>";
  return out;
}

bool FileExists(const std::string& name) {
  std::string path = name;
  (void)CRalImageIO::GetFileTypeOfDocumentName(&path);
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::vector<std::string> ReadHistory(const std::string& section, const std::string& key,
                                     int limit) {
  std::vector<std::string> out;
  for (int i = 0; i < limit; ++i) {
    std::string value;
    CRegistry::Read(section, key + std::to_string(i), "", value);
    if (!value.empty() && std::find(out.begin(), out.end(), value) == out.end())
      out.push_back(value);
  }
  return out;
}

void WriteHistory(const std::string& section, const std::string& key,
                  const std::vector<std::string>& values, int limit) {
  for (int i = 0; i < limit; ++i)
    CRegistry::Write(section, key + std::to_string(i),
                     i < static_cast<int>(values.size()) ? values[i] : std::string());
}

void MoveToFront(std::vector<std::string>& values, const std::string& value, int limit) {
  values.erase(std::remove(values.begin(), values.end(), value), values.end());
  values.insert(values.begin(), value);
  if (static_cast<int>(values.size()) > limit) values.resize(limit);
}

}  // namespace picker
