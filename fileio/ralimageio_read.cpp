// Format detection and reading: the type of a path, the readers by type, the Bitran
// calibration steps, and the conversion to 32-bit floats carrying physical values.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <new>

#include "engine/ralimage.h"
#include "fileio/filedialogs.h"
#include "fileio/fileiotexts.h"
#include "fileio/fitssource.h"
#include "fileio/prompts.h"
#include "fileio/ralimageio.h"
#include "fileio/ralimageio_internal.h"
#include "fits/fits.h"
#include "formats/bitran/bitran.h"
#include "formats/bmp/bmpfile.h"
#include "formats/clipboard/ralclipboard.h"
#include "formats/fio/fileiomsg.h"
#include "formats/gif/giffile.h"
#include "formats/jpeg/jpegfile.h"
#include "formats/mtf/mutoh.h"
#include "formats/png/pngfile.h"
#include "formats/raw/rawimage.h"
#include "formats/sbig/sbig.h"
#include "formats/tiff/tifffile.h"
#include "platform/files.h"
#include "platform/messagebox.h"
#include "platform/text.h"
#include "settings/registry.h"

namespace ft = fileio_text;

namespace {

ProgressSink* g_progress = nullptr;
bool g_rememberAnswers = true;
thread_local int g_lastError = 0;

// A dark or flat that cannot be read is left out without a word (its name often points
// into the camera computer's folders); a name that is a folder, a device or a pipe is
// worth saying, since it was put there rather than left behind.
void WarnIfNoFile(int code, const std::string& path) {
  if (code == FIO_ERR_FOLDER || code == FIO_ERR_NOT_REGULAR || code == FIO_ERR_LINK_LOOP)
    FileioMsgBox(nullptr, code, ApplicationTitle(), path, MB_ICONEXCLAMATION);
}

bool IsOneOf(std::string_view ext, std::initializer_list<std::string_view> names) {
  for (std::string_view n : names)
    if (EqualsNoCase(ext, n)) return true;
  return false;
}

// The first card of a FITS file as the standard places it: "SIMPLE" in columns 1 to 8,
// "= " in columns 9 and 10, and the logical value T in column 30 with blanks before it.
bool IsFitsSignature(const char* card, std::size_t n) {
  constexpr std::string_view kSimple = "SIMPLE  = ";
  constexpr std::size_t kValueColumn = 29;  // column 30, counted from 0
  if (n <= kValueColumn || std::string_view(card, kSimple.size()) != kSimple) return false;
  for (std::size_t i = kSimple.size(); i < kValueColumn; ++i)
    if (card[i] != ' ') return false;
  return card[kValueColumn] == 'T';
}

}  // namespace

namespace fileio_internal {

void ReportError(int code, const std::string& path) {
  g_lastError = code;
  if (code == FIO_OK || code == FIO_ERR_CANCELLED) return;
  FileioMsgBox(nullptr, code, ApplicationTitle(), path, MB_ICONEXCLAMATION);
}

void SetLastError(int code) { g_lastError = code; }

bool NameLeavesFormatOpen(const std::string& path) {
  const int named = CRalImageIO::GetFileType(path);
  if (named == FILETYPE_UNKNOWN) return true;
  if (named != FILETYPE_SBIG) return false;
  const std::string file = FitsFileOfName(path);
  std::string_view name = file;
  if (const std::size_t slash = name.rfind('/'); slash != std::string_view::npos)
    name.remove_prefix(slash + 1);
  const std::size_t dot = name.rfind('.');
  const std::string_view ext = dot == std::string_view::npos ? "" : name.substr(dot + 1);
  return !ext.empty() && ext.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace fileio_internal

using fileio_internal::ReportError;

void CRalImageIO::SetProgressSink(ProgressSink* sink) { g_progress = sink; }
ProgressSink* CRalImageIO::GetProgressSink() { return g_progress; }
void CRalImageIO::SetRememberAnswers(bool on) {
  g_rememberAnswers = on;
}
bool CRalImageIO::GetRememberAnswers() {
  return g_rememberAnswers;
}
int CRalImageIO::GetLastError() { return g_lastError; }
void CRalImageIO::ClearLastError() { g_lastError = 0; }

bool CRalImageIO::IsSbigType(const std::string& ext) {
  if (ext.empty()) return false;
  if (ext.size() >= 2 && EqualsNoCase(std::string_view(ext).substr(0, 2), "ST")) return true;
  if (ext.size() >= 4 && EqualsNoCase(std::string_view(ext).substr(0, 4), "SBIG")) return true;
  if (EqualsNoCase(ext, "2K")) return true;
  if (ext.size() == 1 && std::string_view("RrGgBb").find(ext[0]) != std::string_view::npos)
    return true;
  return ext.find_first_not_of("0123456789") == std::string::npos;
}

int CRalImageIO::GetFileType(const std::string& path) {
  if (EqualsNoCase(path, "_CLIPBOARD_")) return FILETYPE_CLIPBOARD;
  // The extension belongs to the file name: a dot in a folder name ("run.st/frame") says
  // nothing about the file.
  const std::size_t slash = path.rfind('/');
  std::string_view name = std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1);
  // "file.fits[SCI]" names a unit of file.fits.
  if (const std::size_t open = name.rfind('[');
      !name.empty() && name.back() == ']' && open != std::string_view::npos && open > 0)
    name = name.substr(0, open);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return FILETYPE_UNKNOWN;
  const std::string ext(name.substr(dot + 1));
  // gzip-packed and tile-compressed FITS files (".fits.gz", ".fits.fz") too.
  if (IsOneOf(ext, {"FIT", "FITS", "FTS", "GZ", "FZ"})) return FILETYPE_FITS;
  if (EqualsNoCase(ext, "BMP")) return FILETYPE_BMP;
  if (EqualsNoCase(ext, "DIB")) return FILETYPE_DIB;
  if (EqualsNoCase(ext, "MTF")) return FILETYPE_MTF;
  if (EqualsNoCase(ext, "BIN")) return FILETYPE_BIN;
  if (IsSbigType(ext)) return FILETYPE_SBIG;
  if (IsOneOf(ext, {"TIF", "TIFF"})) return FILETYPE_TIFF;
  if (IsOneOf(ext, {"JPG", "JPEG"})) return FILETYPE_JPEG;
  if (EqualsNoCase(ext, "PNG")) return FILETYPE_PNG;
  if (EqualsNoCase(ext, "GIF")) return FILETYPE_GIF;
  if (IsOneOf(ext, {"CCD", "DRK", "FLT", "FDK"})) return FILETYPE_BITRAN;
  if (EqualsNoCase(ext, "RAW")) return FILETYPE_RAW;
  return FILETYPE_UNKNOWN;
}

bool CRalImageIO::IsFitsFile(const std::string& path) {
  // Only a regular file is looked into, and the open never waits (a FIFO, a device).
  const std::string file = FitsFileOfName(path);
  int fd = -1;
  if (OpenRegularFile(file, fd) != 0) return false;
  char head[80];
  std::size_t got = 0;
  while (got < sizeof head) {
    const ssize_t n = ::read(fd, head + got, sizeof head - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (IsFitsSignature(head, got)) return true;
  // A whole file packed with gzip: the signature is the first card unpacked.
  if (got < 2 || static_cast<unsigned char>(head[0]) != 0x1f ||
      static_cast<unsigned char>(head[1]) != 0x8b)
    return false;
  fitscomp::GzipReader gzip;
  return gzip.Open(file) == FIO_OK && gzip.Read(head, sizeof head, 0) &&
         IsFitsSignature(head, sizeof head);
}

int CRalImageIO::GetFileTypeOfFile(const std::string& path) {
  if (fileio_internal::NameLeavesFormatOpen(path) && IsFitsFile(path)) return FILETYPE_FITS;
  return GetFileType(path);
}

namespace {

// Whether a name stands as it is for a file on disk (a link that leads nowhere included,
// so that reading it says what is wrong with it), also with a bracketed FITS unit.
bool NamesAFile(const std::string& name) {
  struct stat st {};
  if (::lstat(name.c_str(), &st) == 0) return true;
  std::string file, spec;
  return SplitExtendedName(name, &file, &spec) && !spec.empty() && ::lstat(file.c_str(), &st) == 0;
}

}  // namespace

int CRalImageIO::GetFileTypeOfDocumentName(std::string* path) {
  const std::size_t lt = path->find('<');
  // '<' may be part of a file's name on this system: a name that is there is that file.
  if (lt == std::string::npos || NamesAFile(*path)) return GetFileType(*path);
  const std::string suffix = path->substr(lt);
  path->resize(lt);
  return EqualsNoCase(suffix, "<USF>") ? FILETYPE_USFITS : FILETYPE_UNKNOWN;
}

void CReadParam::SetFileTypeDefaulted(const std::string& path) {
  const int t = CRalImageIO::GetFileType(path);
  m_nFileType = (t >= 1 && t <= 11) || t == FILETYPE_RAW ? t : 0;
}

int CRalImageIO::IsFileFormatSaveable(int type) {
  switch (type) {
    case FILETYPE_BMP: case FILETYPE_FITS: case FILETYPE_MTF: case FILETYPE_BIN:
    case FILETYPE_SBIG: case FILETYPE_TIFF: case FILETYPE_JPEG: case FILETYPE_GIF:
    case FILETYPE_PNG:
      return 1;
    default:
      return 0;
  }
}

int CRalImageIO::GetAutoLevel() {
  int v = 1;
  CRegistry::Read("General", "AutoLevelOnOpen", 1, v, CRegistry::TYPE_BOOL);
  return v ? 1 : 0;
}

int CRalImageIO::CheckBitmapBuffer(const CImage& image) {
  // A 32-bit display bitmap of the image's size, made and freed at once.
  const std::uint64_t bytes = static_cast<std::uint64_t>(std::max(image.GetWidth(), 0)) *
                              static_cast<std::uint64_t>(std::max(image.GetHeight(), 0)) * 4u;
  if (bytes == 0 || bytes > (std::uint64_t{1} << 34)) return 0;
  void* p = ::operator new(static_cast<std::size_t>(bytes), std::nothrow);
  ::operator delete(p);
  return p ? 1 : 0;
}

int CRalImageIO::GetLoadFits3DParam(const CImage& image, CReadParam* param) {
  LoadFits3DPrompt prompt;
  prompt.planeCount = image.GetPlanes();
  prompt.siTypeRGB = image.IsSITypeRGB();
  const Fits3DChoice d = Fits3DDefaults(prompt.planeCount, prompt.siTypeRGB);
  prompt.color = d.color;
  prompt.gray = d.gray;
  prompt.red = d.red;
  prompt.green = d.green;
  prompt.blue = d.blue;
  if (!GetUserPrompts().Ask(prompt)) return 0;
  auto clampPlane = [&](int p) { return std::clamp(p, 0, std::max(0, prompt.planeCount - 1)); };
  if (prompt.color) {
    param->SetReadPlane(0, clampPlane(prompt.red));
    param->SetReadPlane(1, clampPlane(prompt.green));
    param->SetReadPlane(2, clampPlane(prompt.blue));
    param->SetPlanes(3);
  } else {
    param->SetReadPlane(0, clampPlane(prompt.gray));
    param->SetPlanes(1);
  }
  return 1;
}

int CRalImageIO::GetLoadRawParam(const std::string& path, CReadParam* param) {
  struct stat st {};
  int fd = -1;
  if (int e = OpenRegularFile(path, fd, &st)) {
    // A folder, a device or a pipe is named as such rather than as a missing file.
    if (const int code = FioOpenCode(e); code != FIO_ERR_OPEN) {
      ReportError(code, path);
      return 0;
    }
    // Built by appending: GCC 12 misreads an in-place replace here (-Wrestrict at -O2).
    const std::string_view format(ft::kRawNotFound);
    const size_t at = format.find("%s");
    std::string text(format.substr(0, at));
    if (at != std::string_view::npos) {
      text += path;
      text += format.substr(at + 2);
    }
    AfxMessageBox(text, MB_ICONEXCLAMATION);
    return 0;
  }
  ::close(fd);
  constexpr std::string_view kSection = "Dialog\\LoadByteImage";
  LoadRawPrompt prompt;
  prompt.path = path;
  prompt.fileSize = st.st_size;
  CRegistry::Read(kSection, "Width", "640", prompt.width);
  CRegistry::Read(kSection, "Height", "480", prompt.height);
  CRegistry::Read(kSection, "Header", "0", prompt.header);
  CRegistry::Read(kSection, "Plane", 0, prompt.plane, CRegistry::TYPE_INT);
  CRegistry::Read(kSection, "DataType", 0, prompt.dataType, CRegistry::TYPE_INT);
  CRegistry::Read(kSection, "ByteOrder", 0, prompt.byteOrder, CRegistry::TYPE_INT);
  CRegistry::Read(kSection, "Sign", 1, prompt.sign, CRegistry::TYPE_INT);
  CRegistry::Read(kSection, "Bits", 0, prompt.bits, CRegistry::TYPE_INT);
  if (!GetUserPrompts().Ask(prompt)) return 0;
  // The answerer has applied the checks; a wrong answer is still not taken.
  if (ValidateLoadRaw(prompt.width, prompt.height, prompt.header, prompt.dataType, prompt.sign,
                      prompt.bits))
    return 0;
  if (g_rememberAnswers) {
    CRegistry::Write(kSection, "Width", prompt.width);
    CRegistry::Write(kSection, "Height", prompt.height);
    CRegistry::Write(kSection, "Header", prompt.header);
    CRegistry::Write(kSection, "Plane", prompt.plane, CRegistry::TYPE_INT);
    CRegistry::Write(kSection, "DataType", prompt.dataType, CRegistry::TYPE_INT);
    CRegistry::Write(kSection, "ByteOrder", prompt.byteOrder, CRegistry::TYPE_INT);
    CRegistry::Write(kSection, "Sign", prompt.sign, CRegistry::TYPE_INT);
    CRegistry::Write(kSection, "Bits", prompt.bits, CRegistry::TYPE_INT);
  }
  static constexpr int kBits[4] = {8, 16, 32, 64};
  const int bits = kBits[std::clamp(prompt.bits, 0, 3)];
  param->SetBitsPixel(prompt.dataType == 1 ? -bits : bits);
  param->SetWidth(std::stoi(prompt.width));
  param->SetHeight(std::stoi(prompt.height));
  param->SetHeaderSize(std::stoi(prompt.header));
  param->SetPlanes(prompt.plane == 1 ? 3 : 1);
  param->SetByteOrder(prompt.byteOrder);
  param->SetSigned(prompt.sign == 0 ? 1 : 0);
  return 1;
}

namespace {

// "<USF>" asks for a FITS file's 16- and 32-bit integers to be read as unsigned. A name
// that says the file is of another format (a .png, a .tif) cannot be read so: the request
// is refused rather than the file read as FITS, which it is not. A name of no known
// format is taken as FITS, as the suffix says.
bool IsUsfOfAnotherFormat(const std::string& path) {
  const int named = CRalImageIO::GetFileType(path);
  return named != FILETYPE_FITS && named != FILETYPE_UNKNOWN;
}

// What a FITS image read through source must carry of its file: the file's name rather
// than a temporary's; for a tile-compressed extension the primary header's keywords that
// the unpacked header lacks (an uncompressed extension got them from the reader); and
// for any extension the system's own measurement tables of the file, so that its tools
// find their marks and a save keeps them.
int AdoptFitsSource(CImage& image, const FitsSource& source, bool withTables) {
  if (source.readPath != source.file) {
    image.SetOrgFileName(source.file);
    image.SetSaveableFile(::access(source.file.c_str(), W_OK) == 0 ? 1 : 0);
  }
  const std::string listed = source.unpacked ? source.unpacked->path() : source.file;
  if (withTables && source.unit > 0)
    if (int rc = CFits::ReadOwnTables(image, listed, source.unit)) return rc;
  if (source.unit > 0 && source.decompressed) {
    std::vector<std::string> primary;
    if (int rc = ReadUnitCards(listed, 0, &primary)) return rc;
    CFitsHeader& header = image.m_FitsHeader;
    int at = header.Find("END");
    if (at < 0) at = header.GetCount();
    for (const std::string& card : InheritedCards(primary, header.Cards()))
      header.InsertAt(at++, card);
  }
  return FITS_OK;
}

// The header alone of the image a FITS name stands for.
int ReadFitsHeader(CImage& image, const std::string& name) {
  FitsSource source;
  // The image's data stay packed: only the units' headers are read.
  if (int rc = ResolveFitsSource(name, &source, FitsSourceRead::kHeaders)) return rc;
  if (int rc = CFits::ReadHeader(image, source.readPath, 1, source.readHdu)) return rc;
  return AdoptFitsSource(image, source, false);
}

// The real type that a read for ReadFile folds FITS pixels into as they come in (0: read
// them as stored). Set only for the length of one ReadFile on this thread.
thread_local int g_foldBits = 0;

// The FITS steps shared by codes 3 and 12: which image of the file, header, plane
// choice, data.
int ReadFitsFile(CRalImage& image, const std::string& name, CReadParam* param, int isSigned) {
  const std::string caption(ft::kReading);
  FitsSource source;
  // A tile-compressed image is read while it is being unpacked.
  if (int rc = ResolveFitsSource(name, &source, FitsSourceRead::kStream)) return rc;
  const std::string& path = source.readPath;
  int rc = CFits::ReadHeader(image, path, isSigned ? 0 : 1, source.readHdu);
  if (rc != FITS_OK) return rc;
  const bool multi = image.GetPlanes() > 1;
  if (multi && !CRalImageIO::GetLoadFits3DParam(image, param)) return FIO_ERR_CANCELLED;
  if (!multi) param->SetPlanes(1);
  {
    FitsSourceGate gate(source);
    rc = CFits::Read(image, path, isSigned, param->GetPlanes() == 3 ? 1 : 0,
                     param->GetReadPlane(0), param->GetReadPlane(1), param->GetReadPlane(2),
                     CRalImageIO::GetProgressSink(), caption, 0, g_foldBits, source.readHdu);
  }
  // A failed unpacking says better than the read what went wrong.
  if (source.unpacking)
    if (int unpacked = source.unpacking->Finish()) return unpacked;
  if (rc != FITS_OK) return rc;
  rc = AdoptFitsSource(image, source, true);
  if (rc != FITS_OK) return rc;
  // Pixels unpacked from a packed file have no data unit of their own in the file named.
  if (source.packed || source.unpacked || source.decompressed || source.unpacking ||
      source.readPath != source.file)
    image.ClearUnchanged();
  // The file opened without an extension it ends inside; a save will not write it, so
  // the user hears of it now.
  const FitsCutExtension cut = CFits::GetCutExtension();
  if (cut.number > 0)
    GetMessageBox().Show(FileioCutExtensionText(source.file, cut.number, cut.name),
                         ApplicationTitle(), MB_OK | MB_ICONEXCLAMATION);
  // Nor is one it could not parse dropped: the user hears that it is kept as it stands.
  for (const FitsCutExtension& damaged : CFits::GetDamagedExtensions())
    GetMessageBox().Show(FileioDamagedExtensionText(source.file, damaged.number, damaged.name),
                         ApplicationTitle(), MB_OK | MB_ICONEXCLAMATION);
  // Nor do rounded 64-bit integers come back from a save.
  if (CFits::GetInt64Rounded())
    GetMessageBox().Show(source.file + "\n" + std::string(kFioMsgInt64Rounded), ApplicationTitle(),
                         MB_OK | MB_ICONINFORMATION);
  // A choice of planes from a cube is not the file: it may not be written over it, unless
  // the file's own red, green and blue were read in their order.
  if (multi && isSigned)
    image.SetOverwriteAllowed(image.GetPlanes() > 1 && image.IsSITypeRGB() ? 1 : 0);
  // Nor is one image of several units.
  if (source.unit > 0) image.SetOverwriteAllowed(0);
  return FITS_OK;
}

}  // namespace

namespace {

// A file whose name tells no format (or only a number) is read as what its content shows
// it to be: a FITS file under any such name. The parameters then record the type that
// was read. A name of a known format keeps it, and any other type given stands.
void TypeFromContent(const std::string& path, CReadParam* param) {
  const int given = param->GetFileType();
  const bool byName = given == FILETYPE_UNKNOWN ||
                      (given == FILETYPE_SBIG && CRalImageIO::GetFileType(path) == FILETYPE_SBIG);
  if (byName && fileio_internal::NameLeavesFormatOpen(path) && CRalImageIO::IsFitsFile(path))
    param->SetFileType(FILETYPE_FITS);
}

}  // namespace

int CRalImageIO::ReadImageFile(CRalImage& image, const std::string& path, CReadParam* param) {
  image.Empty();
  TypeFromContent(path, param);
  // The scaling and blank value of an earlier file read into the same image are not this
  // file's: the fold records this file's own.
  image.ClearOrgScaling();
  image.SetOrgBlank(0, 0);
  ProgressSink* progress = g_progress;
  const std::string caption(ft::kReading);
  int rc = FIO_ERR_UNKNOWN_TYPE;
  try {
    switch (param->GetFileType()) {
      case FILETYPE_FITS: rc = ReadFitsFile(image, path, param, 1); break;
      case FILETYPE_USFITS:
        rc = IsUsfOfAnotherFormat(path) ? FIO_ERR_USF_NOT_FITS
                                        : ReadFitsFile(image, path, param, 0);
        break;
      case FILETYPE_SBIG: rc = CSbig::Read(image, path, progress, caption); break;
      case FILETYPE_TIFF: rc = CTiff::Read(image, path, progress, caption); break;
      case FILETYPE_JPEG: rc = CJpeg::Read(image, path, progress, caption); break;
      case FILETYPE_PNG: rc = CPng::Read(image, path, progress, caption); break;
      case FILETYPE_MTF:
        rc = CMutoh::Read(image, path, CMutoh::MTF, progress, caption);
        break;
      case FILETYPE_BIN:
        rc = CMutoh::Read(image, path, CMutoh::BIN, progress, caption);
        break;
      case FILETYPE_RAW:
        rc = CRawImage::Read(image, path, param->ToRawImage(), progress, caption);
        break;
      case FILETYPE_BMP:
      case FILETYPE_DIB: rc = CBmp::Read(image, path, progress, caption); break;
      case FILETYPE_GIF: rc = CGif::Read(image, path, progress, caption); break;
      case FILETYPE_CLIPBOARD:
        rc = CRalClipboard::Read(image, progress, std::string(ft::kFromClipboard));
        break;
      case FILETYPE_BITRAN: {
        CBitranParam bp;
        rc = CBitran::Read(image, path, &bp, progress, caption);
        if (rc != BRN_OK) break;
        if (!bp.GetDrkFileName().empty())
          BitranDarkClb(image, bp.GetDrkFileName(), bp.GetDrkConvert(), progress, caption);
        bool flat = false;
        if (!bp.GetFltFileName().empty()) {
          if (!BitranFlatClb(image, bp.GetFltFileName(), bp.GetFltConvert(), bp.GetFdkFileName(),
                             bp.GetFdkConvert(), nullptr, {})) {
            rc = FIO_ERR_MEMORY;
            break;
          }
          flat = true;
        }
        rc = CBitran::Conversion(image, &bp, progress, std::string(ft::kConverting));
        // Levels from a frame before its flat no longer fit; let the caller's automatic
        // levels replace them.
        if (rc == BRN_OK && flat && GetAutoLevel()) image.SetOwnLevel(0);
        break;
      }
      default: rc = FIO_ERR_UNKNOWN_TYPE; break;
    }
  } catch (const std::bad_alloc&) {
    rc = FIO_ERR_MEMORY;
  }
  if (rc != FIO_OK) {
    ReportError(rc, path);
    return 0;
  }
  fileio_internal::SetLastError(FIO_OK);
  return 1;
}

int CRalImageIO::ReadHeader(CRalImage& image, const std::string& path, CReadParam* param) {
  image.Init();
  return ReadHeaderFile(image, path, param);
}

int CRalImageIO::ReadHeaderFile(CRalImage& image, const std::string& path, CReadParam* param) {
  image.Empty();
  TypeFromContent(path, param);
  ProgressSink* progress = g_progress;
  const std::string caption(ft::kReading);
  int rc = FIO_ERR_UNKNOWN_TYPE;
  try {
    switch (param->GetFileType()) {
      case FILETYPE_FITS:
        rc = ReadFitsHeader(image, path);
        break;
      case FILETYPE_USFITS:
        rc = IsUsfOfAnotherFormat(path) ? FIO_ERR_USF_NOT_FITS : ReadFitsHeader(image, path);
        break;
      case FILETYPE_SBIG: rc = CSbig::ReadHeader(image, path, progress, caption); break;
      case FILETYPE_TIFF: rc = CTiff::ReadHeader(image, path, progress, caption); break;
      case FILETYPE_JPEG: rc = CJpeg::ReadHeader(image, path, nullptr, progress, caption); break;
      case FILETYPE_PNG: rc = CPng::ReadHeader(image, path, progress, caption); break;
      case FILETYPE_BMP:
      case FILETYPE_DIB: rc = CBmp::ReadHeader(image, path); break;
      case FILETYPE_GIF: rc = CGif::ReadHeader(image, path); break;
      case FILETYPE_BITRAN: rc = CBitran::ReadHeader(image, path, progress, caption); break;
      case FILETYPE_MTF:
        rc = CMutoh::ReadHeader(image, path, CMutoh::MTF, progress, caption);
        break;
      case FILETYPE_BIN:
        rc = CMutoh::ReadHeader(image, path, CMutoh::BIN, progress, caption);
        break;
      case FILETYPE_RAW:
      case FILETYPE_CLIPBOARD: return 0;
      default: rc = FIO_ERR_UNKNOWN_TYPE; break;
    }
  } catch (const std::bad_alloc&) {
    rc = FIO_ERR_MEMORY;
  }
  if (rc != FIO_OK) {
    ReportError(rc, path);
    return 0;
  }
  fileio_internal::SetLastError(FIO_OK);
  return 1;
}

int CRalImageIO::BitranDarkClb(CRalImage& image, const std::string& darkPath, int offset,
                               ProgressSink* progress, const std::string& caption) {
  try {
    CRalImage dark;
    const int rc = CBitran::Read(dark, darkPath, progress, caption);
    WarnIfNoFile(rc, darkPath);
    if (rc == BRN_OK) {
      CBitran::DlkFltCorrection(image, offset);
      image.SetProgressSink(progress);
      image.DarkClbrtn(dark, progress ? 1 : 0);
    }
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 1;
}

int CRalImageIO::BitranFlatClb(CRalImage& image, const std::string& flatPath, int flatOffset,
                               const std::string& flatDarkPath, int flatDarkOffset,
                               ProgressSink* progress, const std::string& caption) {
  try {
    CRalImage flat;
    const int rc = CBitran::Read(flat, flatPath, progress, caption);
    WarnIfNoFile(rc, flatPath);
    if (rc == BRN_OK) {
      CBitran::DlkFltCorrection(image, flatOffset);
      BitranDarkClb(flat, flatDarkPath, flatDarkOffset, progress, caption);
      image.SetProgressSink(progress);
      image.FlatClbrtn(flat, progress ? 1 : 0);
    }
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 1;
}

int CRalImageIO::ChangeBits(CRalImage& image, int bits) {
  const std::string caption(ft::kChangingBits);
  // Real pixels take the physical values in one pass, in 32-bit floats where those hold
  // the file's values exactly and in 64-bit doubles otherwise, with blank pixels as NaN.
  if (bits == -32 || bits == -64) return image.FoldPhysical(bits, g_progress, caption);
  return image.ChangeBits(bits, image.IsSigned(), 1, g_progress, caption);
}

int CRalImageIO::ReadFile(CRalImage& image, const std::string& path, CReadParam* param, int bits,
                          int* autoLevel) {
  // FITS pixels bound for real values are folded while they are read, so that the stored
  // copy and the folded one are never in memory together; ChangeBits then has nothing
  // left to convert.
  g_foldBits = bits == -32 || bits == -64 ? bits : 0;
  const int read = ReadImageFile(image, path, param);
  g_foldBits = 0;
  if (!read) return 0;
  if (!ChangeBits(image, bits)) {
    // The file was read; what failed is the memory for its converted pixels. The name
    // says which file could not be opened.
    ReportError(FIO_ERR_MEMORY, path);
    return 0;
  }
  if (autoLevel) *autoLevel = GetAutoLevel();
  return 1;
}
