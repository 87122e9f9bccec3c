// The shared part of the batch runs: fetching targets, saving, the folder questions.
#include "batch/batchrun.h"

#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "batch/batchnaming.h"
#include "batch/batchtexts.h"
#include "engine/pixelmove.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "fileio/readparam.h"
#include "platform/files.h"
#include "platform/messagebox.h"

namespace {

bool ReadParam(std::string* file, CReadParam* param) {
  param->SetFileType(CRalImageIO::GetFileTypeOfDocumentName(file));
  if (param->GetFileType() != FILETYPE_USFITS) param->SetFileTypeDefaulted(*file);
  return param->GetFileType() != FILETYPE_RAW || CRalImageIO::GetLoadRawParam(*file, param);
}

}  // namespace

bool ReadBatchImage(const std::string& path, CRalImage& image) {
  CReadParam param;
  std::string file = path;
  if (!ReadParam(&file, &param)) return false;
  int autoLevel = 0;
  if (!CRalImageIO::ReadFile(image, file, &param, -32, &autoLevel)) return false;
  if (!image.HasOwnLevel() && autoLevel) CPrcAutoLevel::Do(image, nullptr);
  return true;
}

bool ReadBatchFrame(const std::string& path, CRalImage& image) {
  CReadParam param;
  std::string file = path;
  return ReadParam(&file, &param) && CRalImageIO::ReadImageFile(image, file, &param) != 0;
}

CBatchRun::CBatchRun(std::vector<BatchTarget> targets)
    : m_Targets(std::move(targets)), m_Reader(ReadBatchImage) {}

CBatchRun::~CBatchRun() = default;

CRalImage* CBatchRun::Fetch(int index, std::unique_ptr<CRalImage>* holder, const Reader* reader) {
  const BatchTarget& target = m_Targets[index];
  if (target.image) return target.image;
  auto image = std::make_unique<CRalImage>();
  if (!(reader ? *reader : m_Reader)(target.path, *image)) {
    Fail(index, "could not be read");
    return nullptr;
  }
  *holder = std::move(image);
  return holder->get();
}

const CRalImage* CBatchRun::FetchFrame(const BatchFrame& frame, const char* what,
                                       std::unique_ptr<CRalImage>* holder) {
  if (frame.image) return frame.image;
  auto image = std::make_unique<CRalImage>();
  if (!m_Reader(frame.path, *image)) {
    m_Failures.push_back({-1, frame.path, std::string("the ") + what + " could not be read"});
    return nullptr;
  }
  *holder = std::move(image);
  return holder->get();
}

bool CBatchRun::AbortRequested() {
  if (m_pAbort && m_pAbort->load()) m_bAborted = true;
  return m_bAborted;
}

bool CBatchRun::Save(int index, CRalImage& image, const std::string& path) {
  if (path.empty()) {
    Fail(index, "has no file name to save under");
    return false;
  }
  if (m_nSaveBits != 0 && CRalImageIO::GetFileType(path) == FILETYPE_FITS) {
    image.SetOrgBitsPixel(m_nSaveBits);
    if (m_nSaveBits < 0) image.SetOrgScaling(1.0, 0.0);
  }
  if (CRalImageIO::WriteImageFile(image, path, 0) != 1) {
    Fail(index, "could not be saved as " + path);
    return false;
  }
  ++m_nSaved;
  return true;
}

void CBatchRun::Fail(int index, const std::string& reason) {
  m_Failures.push_back({index, index >= 0 ? m_Targets[index].path : std::string(), reason});
}

void CBatchRun::Report(int index, const std::string& saved, bool ok) {
  if (m_FileReport) m_FileReport(index, m_Targets[index].path, saved, ok);
}

bool CBatchRun::CheckNames(const std::vector<BatchSaveName>& names) {
  const std::string list = batch::FindCollisions(names);
  m_bNameCollision = !list.empty();
  if (m_bNameCollision)
    AfxMessageBox(batch::Format(batch_text::kSameOutput, list), MB_OK | MB_ICONEXCLAMATION);
  return !m_bNameCollision;
}

bool CBatchRun::CheckTargetOutputs(bool overwrite, const std::string& folder,
                                   const std::function<std::string(int)>& output) {
  std::vector<BatchSaveName> names;
  std::vector<std::string> files;
  for (int i = 0; i < static_cast<int>(m_Targets.size()); ++i) {
    const BatchTarget& target = m_Targets[i];
    BatchSaveName name{batch::PlainPath(target.path), output(i), {}};
    // An image the caller holds is not read from its file.
    if (!target.image) {
      name.reads.push_back(name.source);
      files.push_back(name.output);
    }
    names.push_back(std::move(name));
  }
  if (!CheckNames(names)) return false;
  return overwrite ? batch::AskOverwrite() : batch::CheckSaveFolder(folder, files);
}

namespace batch {

namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A name as a file: an existing one by device and inode, a new one by its folder
// resolved through links and "..", and its own name.
std::string FileKey(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0)
    return "inode " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) return std::filesystem::path(path).lexically_normal().string();
  const std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, error);
  return (error ? absolute.lexically_normal() : resolved).string();
}

bool EnsureFolder(const std::string& folder) {
  if (folder.empty() || IsFolder(folder)) return true;
  if (AfxMessageBox(Format(batch_text::kCreateFolder, folder), MB_YESNO | MB_ICONQUESTION) != IDYES)
    return false;
  if (MakeDirectories(folder) != 0) {
    AfxMessageBox(Format(batch_text::kCannotCreateFolder, folder), MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  return true;
}

bool AskExisting(const std::vector<std::string>& outputs) {
  std::string list;
  for (const std::string& name : outputs)
    if (Exists(name)) list += (list.empty() ? "" : "\n") + name;
  if (list.empty()) return true;
  return AfxMessageBox(Format(batch_text::kFilesExist, list), MB_YESNO | MB_ICONQUESTION) == IDYES;
}

}  // namespace

bool AskOverwrite() {
  return AfxMessageBox(std::string(batch_text::kOverwrite), MB_YESNO | MB_ICONQUESTION) == IDYES;
}

std::string SaveFolder(std::string_view typed) {
  std::string folder = NormalizeFolder(typed);
  if (folder.empty()) folder.assign(1, '.');  // not = ".": GCC 12 warns -Wrestrict on that
  return folder;
}

bool CheckSaveFolder(const std::string& folder, const std::vector<std::string>& outputs) {
  return EnsureFolder(folder) && AskExisting(outputs);
}

std::string FindCollisions(const std::vector<BatchSaveName>& names) {
  std::vector<std::string> outputs(names.size());
  std::multimap<std::string, std::size_t> writers, readers;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!names[i].output.empty()) writers.emplace(outputs[i] = FileKey(names[i].output), i);
    for (const std::string& read : names[i].reads) readers.emplace(FileKey(read), i);
  }
  std::vector<bool> concerned(names.size(), false);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (outputs[i].empty()) continue;
    if (writers.count(outputs[i]) > 1) concerned[i] = true;
    // Saved over what another target reads: that one would read a result, or its source
    // would be gone once it was done.
    const auto [from, to] = readers.equal_range(outputs[i]);
    for (auto it = from; it != to; ++it)
      if (it->second != i) concerned[i] = concerned[it->second] = true;
  }
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i)
    if (concerned[i])
      list += (list.empty() ? "" : "\n") + names[i].source + " -> " + names[i].output;
  return list;
}

bool CheckOutputs(const std::vector<std::string>& outputs) {
  for (const std::string& name : outputs)
    if (!EnsureFolder(DirectoryOf(name))) return false;
  return AskExisting(outputs);
}

bool IsBottomUp(const CRalImage& image) {
  return FitsRowsBottomUp(image);
}

}  // namespace batch
