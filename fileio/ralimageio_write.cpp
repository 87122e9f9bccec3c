// Saving: the save-as dialog's set-up and memory, the writers with their options, the
// conversion of what a format cannot hold into a temporary copy, and the attributes that
// record where and how the image was saved.
#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include "engine/ralimage.h"
#include "fileio/filedialogs.h"
#include "fileio/fileiotexts.h"
#include "fileio/prompts.h"
#include "fileio/ralimageio.h"
#include "fileio/ralimageio_internal.h"
#include "fits/fits.h"
#include "formats/fio/fileiomsg.h"
#include "formats/fitscomp/fitscomp.h"
#include "formats/jpeg/jpegfile.h"
#include "formats/mtf/mutoh.h"
#include "formats/png/pngfile.h"
#include "formats/bmp/bmpfile.h"
#include "formats/gif/giffile.h"
#include "formats/clipboard/ralclipboard.h"
#include "formats/sbig/sbig.h"
#include "formats/tiff/tifffile.h"
#include "platform/files.h"
#include "platform/messagebox.h"
#include "platform/text.h"
#include "settings/registry.h"

namespace ft = fileio_text;
using fileio_internal::ReportError;

namespace {

constexpr std::string_view kIO = "IO";

int ReadInt(std::string_view key, int def) {
  int v = def;
  CRegistry::Read(kIO, key, def, v, CRegistry::TYPE_INT);
  return v;
}
int ReadBool(std::string_view key, int def) {
  int v = def;
  CRegistry::Read(kIO, key, def, v, CRegistry::TYPE_BOOL);
  return v ? 1 : 0;
}
// The answers of the save questions, kept for next time unless the caller asked for
// answers that hold for one run only.
void WriteInt(std::string_view key, int v) {
  if (CRalImageIO::GetRememberAnswers()) CRegistry::Write(kIO, key, v, CRegistry::TYPE_INT);
}
void WriteBool(std::string_view key, int v) {
  if (CRalImageIO::GetRememberAnswers())
    CRegistry::Write(kIO, key, v ? 1 : 0, CRegistry::TYPE_BOOL);
}
void WriteText(std::string_view key, const std::string& v) {
  if (CRalImageIO::GetRememberAnswers()) CRegistry::Write(kIO, key, v);
}

// A copy of the image converted to bits, or null when memory ran out. The copy carries
// every attribute, so the writer sees the image's header, levels and extensions.
std::unique_ptr<CRalImage> ConvertedCopy(const CRalImage& image, int bits, int isSigned, int mode,
                                         int nanAsBlank = 0) {
  try {
    // Converted straight from the image: no intermediate copy at the image's own type.
    auto copy = std::make_unique<CRalImage>();
    if (!copy->CopyImageAs(image, bits, isSigned, mode, CRalImageIO::GetProgressSink(),
                           std::string(ft::kChangingBits), nanAsBlank))
      return nullptr;
    copy->ApplyCopyConstructorRules(image);
    return copy;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// A copy converted to bits with the given scaling, blank pixels as the file's own blank
// value, or null when the data do not fit it (or memory runs out).
std::unique_ptr<CRalImage> ScaledCopy(const CRalImage& image, int bits, double bscale,
                                      double bzero) {
  try {
    auto copy = std::make_unique<CRalImage>();
    if (!copy->CopyImageScaled(image, bits, 1, bscale, bzero, CRalImageIO::GetProgressSink(),
                               std::string(ft::kChangingBits), 1))
      return nullptr;
    copy->ApplyCopyConstructorRules(image);
    return copy;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// The writer's result: 1, or 0 after showing the code. A write that failed at the
// file-size limit says so rather than sending the user to look for free space.
int Finish(int rc, const std::string& path) {
  if (rc == FIO_ERR_WRITE && LastSaveError() == EFBIG) rc = FIO_ERR_TOO_LARGE;
  if (rc != FIO_OK) {
    ReportError(rc, path);
    return 0;
  }
  fileio_internal::SetLastError(FIO_OK);
  return 1;
}

void Saved(CRalImage& image, const std::string& path, std::string_view format) {
  image.SetSaveableFormat(1);
  image.SetSaveableFile(1);
  image.SetOrgFileName(path);
  image.SetOrgFileFormat(format);
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool MayBeWrittenAsFits(const CImage& image) {
  const std::string& f = image.GetOrgFileFormat();
  if (f == ft::kFormatFits || f == ft::kFormatMutohBin || f == ft::kFormatMutohMtf ||
      f == ft::kFormatRaw || f == ft::kFormatBitran || f.starts_with("SBIG"))
    return true;
  // The SBIG reader names its files after the camera ("ST-7 Series (圧縮)").
  const int type = CSbig::GetSbigType(image);
  const std::string name = type ? CSbig::GetTypeString(type) : std::string();
  return !name.empty() && f.starts_with(name);
}

}  // namespace

int AskChangeBitsMode(const CImage& image, int bits, int askOptions) {
  if (!askOptions || bits < 0) return 0;
  // Only the answer the question would offer first, without asking.
  const bool quiet = askOptions == CRalImageIO::kFirstAnswers;
  std::vector<double> mins, maxs;
  for (int p = 0; p < image.GetPlanes(); ++p) {
    double lo = 0, hi = 0;
    if (!image.GetMinMax(p, &lo, &hi)) return 0;
    mins.push_back(lo);
    maxs.push_back(hi);
  }
  if (mins.empty()) return 0;
  // The data fit the type as they are, unless the plain conversion would flatten them
  // (values 0 to 0.001 "fit" 16 bits and all become 0).
  if (image.IsBitsChangeableRaw(bits, 1, mins.data(), maxs.data(), static_cast<int>(mins.size())) &&
      !image.RawConversionFlattens(bits, 1, *std::min_element(mins.begin(), mins.end()),
                                   *std::max_element(maxs.begin(), maxs.end())))
    return 0;
  const int fixed = ReadInt("SaveFitsLevelExpansion", -1);
  if (fixed >= 0) return fixed;
  ChangeBitsFitsPrompt prompt;
  prompt.bits = bits;
  prompt.mode = ReadInt("ChangeBitsMode", 0) == 1 ? 3 : 0;
  if (quiet) return prompt.mode;
  if (!GetUserPrompts().Ask(prompt)) return -1;
  WriteInt("ChangeBitsMode", prompt.mode == 3 ? 1 : 0);
  return prompt.mode == 3 ? 3 : 0;
}

int CRalImageIO::GetSaveImageFileName(std::string* path, int saveableFormat, int saveableAsFits,
                                      int overwriteAllowed, const std::string& originalFileName,
                                      int contourMap) {
  FileSavePrompt prompt;
  prompt.title = ft::kSaveTitle;
  prompt.filter = SaveFilter(saveableAsFits, contourMap);
  const std::size_t slash = path->find_last_of("/\\");
  prompt.initialName = slash == std::string::npos ? *path : path->substr(slash + 1);
  if (slash != std::string::npos) {
    prompt.initialDir = path->substr(0, slash);
  } else {
    CRegistry::Read(kIO, "FileSaveDir", "", prompt.initialDir);
  }
  const int match = GetFilterIndex(prompt.filter, ExtensionOf(*path));
  const int fitsDefault = GetFilterIndex(prompt.filter, "fts") + 1;
  prompt.filterIndex = match >= 0 ? match + 1 : ReadInt("SaveFilterIndex", std::max(fitsDefault, 1));
  prompt.saveableFormat = saveableFormat;
  prompt.overwriteAllowed = overwriteAllowed;
  prompt.originalFileName = originalFileName;
  if (!GetUserPrompts().Ask(prompt) || prompt.path.empty()) return 0;
  *path = prompt.path;
  WriteText("FileSaveDir", FolderOf(prompt.path));
  const int index = GetFilterIndex(prompt.filter, ExtensionOf(prompt.path));
  if (index >= 0) WriteInt("SaveFilterIndex", index + 1);
  return 1;
}

int CRalImageIO::GetSaveFileType(const CImage& image, const std::string& path) {
  // The FITS file the image was read from, under a name that leaves the format open (none
  // known, or a number): saving over it writes FITS again. (A gzip-packed one is not
  // written back unpacked.)
  if (fileio_internal::NameLeavesFormatOpen(path) &&
      image.GetOrgFileFormat().rfind(kFitsFormatName, 0) == 0 &&
      SameFile(path, image.GetOrgFileName()) && !fitscomp::IsGzipFile(path))
    return FILETYPE_FITS;
  return GetFileType(path);
}

int CRalImageIO::WriteImageFile(CRalImage& image, const std::string& path, int askOptions) {
  // Compared as files, not as names: "./a.fits", the absolute path, a link to it or the
  // document name with "<USF>" would otherwise write over a cube that one plane came from.
  if (!image.IsOverwriteAllowed() && IsOriginalFile(path, image.GetOrgFileName())) {
    ReportError(FIO_ERR_OVERWRITE, std::string(ft::kClipboardName));
    return 0;
  }
  switch (GetSaveFileType(image, path)) {
    case FILETYPE_BMP:
    case FILETYPE_DIB: return WriteBmpFile(image, path, askOptions);
    case FILETYPE_FITS:
      if (!MayBeWrittenAsFits(image)) {
        ReportError(FIO_ERR_FITS_SAVE, std::string(ft::kClipboardName));
        return FIO_ERR_FITS_SAVE;
      }
      return WriteFitsFile(image, path, askOptions);
    case FILETYPE_MTF: return WriteMutohFile(image, path, FILETYPE_MTF, askOptions);
    case FILETYPE_BIN: return WriteMutohFile(image, path, FILETYPE_BIN, askOptions);
    case FILETYPE_SBIG: return WriteSbigFile(image, path, askOptions);
    case FILETYPE_TIFF: return WriteTiffFile(image, path, askOptions);
    case FILETYPE_JPEG: return WriteJpegFile(image, path, askOptions);
    case FILETYPE_GIF: return WriteGifFile(image, path, askOptions);
    case FILETYPE_PNG: return WritePngFile(image, path, askOptions);
    case FILETYPE_CLIPBOARD: return WriteClipboard(image);
    case FILETYPE_BITRAN: ReportError(FIO_ERR_BITRAN_SAVE, path); return 0;
    default: ReportError(FIO_ERR_UNKNOWN_TYPE, path); return 0;
  }
}

int CRalImageIO::PrepareFitsImage(const CRalImage& image, int bits, int askOptions,
                                  std::unique_ptr<CRalImage>* copy, StoredForm* form,
                                  bool* streamed) {
  copy->reset();
  if (streamed) *streamed = false;
  // An image read from 64-bit integers holds doubles and is written so.
  if (bits == 64) bits = -64;
  if (bits != 8 && bits != 16 && bits != 32 && bits != -64) bits = -32;
  const bool integer = bits > 0;
  // Pixels unchanged since they were read, saved in the file's own type: they are the
  // file's stored values, with the file's scaling and blank value, and need no checking.
  if (form && streamed)
    if (const StoredDataUnit* unit = image.GetUnchangedSource(); unit && unit->bits == bits) {
      form->bits = bits;
      form->isSigned = 1;
      form->bscale = unit->bscale;
      form->bzero = unit->bzero;
      form->blankUsed = unit->anyBlank && unit->blankUsed ? 1 : 0;
      form->blank = form->blankUsed ? unit->blank : 0;
      *streamed = true;
      return 1;
    }
  double orgScale, orgZero;
  if ((!askOptions || bits == image.GetOrgBitsPixel()) &&
      image.GetOrgScaling(&orgScale, &orgZero)) {
    // A plain save, or one in the file's own type, writes the data back with the file's
    // own BSCALE and BZERO (and its blank value), so unchanged pixels keep their stored
    // values exactly instead of being cut to whole physical numbers. Data that no longer
    // fit that scaling take the usual conversion below. A caller that can write the
    // stored form row by row gets the form alone, without a converted copy.
    if (form && streamed) {
      if (image.CheckStoredForm(bits, 1, orgScale, orgZero, 1, form)) {
        *streamed = true;
        return 1;
      }
    } else {
      *copy = ScaledCopy(image, bits, orgScale, orgZero);
      if (*copy) return 1;
    }
  }
  if (bits == image.GetBitsPixel() && (bits <= 8 || image.IsSigned())) return 1;
  const int mode = integer ? AskChangeBitsMode(image, bits, askOptions) : 0;
  if (mode < 0) return -1;
  *copy = ConvertedCopy(image, bits, 1, mode, 1);
  return *copy ? 1 : 0;
}

int CRalImageIO::GetSaveFitsBits(const CImage& image) {
  return ReadInt("SaveFitsBitsPixel", image.GetBitsPixel());
}

int CRalImageIO::FormatFitsHeader(const CRalImage& image, int bits, int askOptions,
                                  CFitsHeader* header) {
  std::unique_ptr<CRalImage> copy;
  StoredForm form;
  bool streamed = false;
  const int prepared = PrepareFitsImage(image, bits, askOptions, &copy, &form, &streamed);
  if (prepared != 1) return prepared;
  *header = CFits::FormatHeader(copy ? *copy : image, streamed ? &form : nullptr);
  return 1;
}

int CRalImageIO::FormatSaveHeader(const CRalImage& image, CFitsHeader* header) {
  return FormatFitsHeader(image, GetSaveFitsBits(image), kFirstAnswers, header);
}

// A FITS save; a name ending in ".gz" packs the file with gzip, one ending in ".fz"
// tile-compresses its image with RICE. The plain file is written first into a temporary
// of the target's, as a plain save writes one (a signal removes it, and so does a later
// save into the folder when the process was killed), and packed from there into another
// that replaces the target, so that a failure leaves the target as it was.
static int WritePackedFits(const CImage& image, const std::string& path, const StoredForm* form) {
  const bool gz = EqualsNoCase(ExtensionOf(path), "gz");
  const bool fz = EqualsNoCase(ExtensionOf(path), "fz");
  if (!gz && !fz)
    return CFits::Write(image, path, CRalImageIO::GetProgressSink(), std::string(ft::kSaving),
                        form);
  AtomicFile plain;
  if (int e = plain.Open(path)) return FioCodeOfNameError(e, FIO_ERR_CREATE);
  int rc = CFits::WriteInto(image, plain, CRalImageIO::GetProgressSink(), std::string(ft::kSaving),
                            form);
  if (rc != FITS_OK) return rc;
  rc = gz ? fitscomp::GzipFile(plain.temp_path(), path)
          : fitscomp::RiceCompressFile(plain.temp_path(), path);
  return rc == FIO_ERR_COMPRESSED ? FIO_ERR_WRITE : rc;
}

int CRalImageIO::WriteFitsFile(CRalImage& image, const std::string& path, int askOptions) {
  int bits = image.GetOrgBitsPixel();
  if (askOptions) {
    SaveFitsPrompt prompt;
    prompt.bits = GetSaveFitsBits(image);
    if (!GetUserPrompts().Ask(prompt)) {
      fileio_internal::SetLastError(FIO_ERR_CANCELLED);
      return 0;
    }
    if (!SaveFitsBits(SaveFitsFromBits(prompt.bits)) ||
        *SaveFitsBits(SaveFitsFromBits(prompt.bits)) != prompt.bits) {
      AfxMessageBox(std::string(ft::kSaveFitsBad), MB_ICONINFORMATION);
      fileio_internal::SetLastError(FIO_ERR_CANCELLED);
      return 0;
    }
    bits = prompt.bits;
    WriteInt("SaveFitsBitsPixel", bits);
  }
  std::unique_ptr<CRalImage> copy;
  StoredForm form;
  bool streamed = false;
  const int prepared = PrepareFitsImage(image, bits, askOptions, &copy, &form, &streamed);
  if (prepared < 0) {
    fileio_internal::SetLastError(FIO_ERR_CANCELLED);
    return 0;
  }
  if (prepared == 0) return Finish(FIO_ERR_MEMORY, path);
  const CRalImage& out = copy ? *copy : image;
  // What the file holds: the stored form the rows were converted into on their way out,
  // or the type and scaling of the image written.
  if (!streamed) {
    form.bits = out.GetBitsPixel();
    form.bscale = out.GetBscale();
    form.bzero = out.GetBzero();
    form.blankUsed = out.IsBlankUsed();
    form.blank = out.GetBlank();
  }
  const int rc = WritePackedFits(out, path, streamed ? &form : nullptr);
  if (rc != FITS_OK) return Finish(rc, path);
  Saved(image, path, ft::kFormatFits);
  image.SetOverwriteAllowed(1);
  image.SetOrgBitsPixel(form.bits);
  image.SetOrgPlanes(out.GetPlanes());
  // The next plain save writes the values as this file holds them.
  if (form.bits != image.GetBitsPixel() && (form.bscale != 1.0 || form.bzero != 0.0))
    image.SetOrgScaling(form.bscale, form.bzero);
  else
    image.ClearOrgScaling();
  image.SetOrgBlank(form.bits > 0 ? form.blankUsed : 0, form.blank);
  return Finish(FIO_OK, path);
}

int CRalImageIO::WriteTiffFile(CRalImage& image, const std::string& path, int askOptions) {
  int bits, compression, byteOrder;
  if (askOptions) {
    SaveTiffPrompt prompt;
    prompt.bits = ReadInt("SaveTiffBitsPixel", 8);
    prompt.compression = ReadInt("SaveTiffCompress", 0);
    prompt.byteOrder = ReadInt("SaveTiffByteOrder", 0);
    if (!GetUserPrompts().Ask(prompt)) {
      fileio_internal::SetLastError(FIO_ERR_CANCELLED);
      return 0;
    }
    bits = prompt.bits == 16 ? 16 : 8;
    compression = std::clamp(prompt.compression, 0, 2);
    byteOrder = prompt.byteOrder == 1 ? 1 : 0;
    WriteInt("SaveTiffBitsPixel", bits);
    WriteInt("SaveTiffCompress", compression);
    WriteInt("SaveTiffByteOrder", byteOrder);
  } else {
    bits = image.GetOrgBitsPixel() == 16 ? 16 : 8;
    compression = CTiff::GetCompressionType(image.GetOrgFileFormat());
    byteOrder = CTiff::GetByteOrderType(image.GetOrgFileFormat());
  }
  const CRalImage* out = &image;
  std::unique_ptr<CRalImage> copy;
  if (bits != image.GetBitsPixel() || image.IsSigned()) {
    copy = ConvertedCopy(image, bits, 0, 2);
    if (!copy) return Finish(FIO_ERR_MEMORY, path);
    out = copy.get();
  }
  const int rc =
      CTiff::Write(*out, path, compression, byteOrder, GetProgressSink(), std::string(ft::kSaving));
  if (rc != FIO_OK) return Finish(rc, path);
  static constexpr int kTag[3] = {kTiffTagNone, kTiffTagLzw, kTiffTagPackBits};
  Saved(image, path,
        CTiff::GetFileFormatString(kTag[compression],
                                   byteOrder ? kTiffBigEndianMark : kTiffLittleEndianMark));
  image.SetOrgBitsPixel(bits);
  image.SetOrgPlanes(out->GetPlanes());
  return Finish(FIO_OK, path);
}

int CRalImageIO::WriteJpegFile(CRalImage& image, const std::string& path, int askOptions) {
  int quality = std::clamp(ReadInt("SaveJpegQuality", 7), 1, 10);
  int progressive;
  if (askOptions) {
    SaveJpegPrompt prompt;
    prompt.quality = quality;
    prompt.progressive = ReadBool("SaveJpegProgressive", 0);
    if (!GetUserPrompts().Ask(prompt)) {
      fileio_internal::SetLastError(FIO_ERR_CANCELLED);
      return 0;
    }
    quality = std::clamp(prompt.quality, 1, 10);
    progressive = prompt.progressive ? 1 : 0;
    WriteInt("SaveJpegQuality", quality);
    WriteBool("SaveJpegProgressive", progressive);
  } else {
    progressive = CJpeg::GetProgressiveMode(image.GetOrgFileFormat());
  }
  const CRalImage* out = &image;
  std::unique_ptr<CRalImage> copy;
  if (image.GetBitsPixel() != 8 || image.IsSigned()) {
    copy = ConvertedCopy(image, 8, 0, 2);
    if (!copy) return Finish(FIO_ERR_MEMORY, path);
    out = copy.get();
  }
  const int rc =
      CJpeg::Write(*out, path, quality * 10, progressive, GetProgressSink(), std::string(ft::kSaving));
  if (rc != FIO_OK) return Finish(rc, path);
  Saved(image, path, progressive ? ft::kFormatJpegProgressive : ft::kFormatJpeg);
  image.SetOrgBitsPixel(24);
  image.SetOrgPlanes(0);
  return Finish(FIO_OK, path);
}

int CRalImageIO::WritePngFile(CRalImage& image, const std::string& path, int askOptions) {
  int compression = std::clamp(ReadInt("SavePngCompression", 5), 1, 10);
  int interlace, bits;
  if (askOptions) {
    SavePngPrompt prompt;
    prompt.compression = compression;
    prompt.interlace = ReadBool("SavePngInterlace", 0);
    prompt.bitDepth = ReadInt("SavePngBitDepth", 0) == 1 ? 1 : 0;
    if (!GetUserPrompts().Ask(prompt)) {
      fileio_internal::SetLastError(FIO_ERR_CANCELLED);
      return 0;
    }
    compression = std::clamp(prompt.compression, 1, 10);
    interlace = prompt.interlace ? 1 : 0;
    bits = prompt.bitDepth == 1 ? 16 : 8;
    WriteInt("SavePngCompression", compression);
    WriteBool("SavePngInterlace", interlace);
    WriteInt("SavePngBitDepth", prompt.bitDepth == 1 ? 1 : 0);
  } else {
    interlace = CPng::GetInterlaceMode(image.GetOrgFileFormat());
    // The image's own bits where PNG can hold them; a float image goes out as 16 bits
    // when its file held 16 bits or more per sample, else as 8.
    const int org = image.GetOrgBitsPixel();
    bits = image.GetBitsPixel() == 8 || !(org == 16 || org == 32 || org < 0) ? 8 : 16;
  }
  std::unique_ptr<CRalImage> copy =
      ConvertedCopy(image, bits, 0, bits == image.GetBitsPixel() && !image.IsSigned() ? 0 : 2);
  if (!copy) return Finish(FIO_ERR_MEMORY, path);
  const int rc = CPng::Write(*copy, path, compression - 1, interlace, bits, GetProgressSink(),
                             std::string(ft::kSaving));
  if (rc != FIO_OK) return Finish(rc, path);
  Saved(image, path, ft::kFormatPng);
  image.SetOrgBitsPixel(bits);
  image.SetOrgPlanes(copy->GetPlanes());
  return Finish(FIO_OK, path);
}

int CRalImageIO::WriteBmpFile(CRalImage& image, const std::string& path, int askOptions) {
  int bits = image.GetOrgBitsPixel() == 8 ? 8 : 24;
  if (askOptions) {
    SaveBmpPrompt prompt;
    prompt.bits = ReadInt("SaveBmpBits", 24) == 8 ? 8 : 24;
    if (!GetUserPrompts().Ask(prompt)) {
      fileio_internal::SetLastError(FIO_ERR_CANCELLED);
      return 0;
    }
    bits = prompt.bits == 8 ? 8 : 24;
    WriteInt("SaveBmpBits", bits);
  }
  const int rc = CBmp::Write(image, path, bits, GetProgressSink(), std::string(ft::kSaving));
  if (rc != FIO_OK) return Finish(rc, path);
  Saved(image, path, ft::kFormatBmp);
  image.SetOrgBitsPixel(bits);
  image.SetOrgPlanes(0);
  return Finish(FIO_OK, path);
}

int CRalImageIO::WriteGifFile(CRalImage& image, const std::string& path, int askOptions) {
  int type = CGif::GetType(image.GetOrgFileFormat());
  if (askOptions) {
    SaveGifPrompt prompt;
    prompt.type = std::clamp(ReadInt("SaveGifType", 2), 0, 3);
    if (!GetUserPrompts().Ask(prompt)) {
      fileio_internal::SetLastError(FIO_ERR_CANCELLED);
      return 0;
    }
    type = std::clamp(prompt.type, 0, 3);
    WriteInt("SaveGifType", type);
  }
  const int rc = CGif::Write(image, path, type, GetProgressSink(), std::string(ft::kSaving));
  if (rc != FIO_OK) return Finish(rc, path);
  Saved(image, path, CGif::GetTypeString(type));
  image.SetOrgBitsPixel(8);
  image.SetOrgPlanes(0);
  return Finish(FIO_OK, path);
}

int CRalImageIO::WriteMutohFile(CRalImage& image, const std::string& path, int mutohType,
                                int askOptions) {
  if (image.GetDimension() == 3) {
    AfxMessageBox(std::string(ft::kMutohColor));
    fileio_internal::SetLastError(FIO_ERR_CANCELLED);
    return 0;
  }
  const CRalImage* out = &image;
  std::unique_ptr<CRalImage> copy;
  if (image.GetBitsPixel() != 16 || image.IsSigned()) {
    const int mode = AskChangeBitsMode(image, 16, askOptions);
    if (mode < 0) {
      fileio_internal::SetLastError(FIO_ERR_CANCELLED);
      return 0;
    }
    copy = ConvertedCopy(image, 16, 0, mode);
    if (!copy) return Finish(FIO_ERR_MEMORY, path);
    out = copy.get();
  }
  const bool mtf = mutohType == FILETYPE_MTF;
  const int rc = CMutoh::Write(*out, path, mtf ? CMutoh::MTF : CMutoh::BIN);
  if (rc != MTF_OK) return Finish(rc, path);
  Saved(image, path, mtf ? ft::kFormatMutohMtf : ft::kFormatMutohBin);
  image.SetOrgBitsPixel(16);
  image.SetOrgPlanes(1);
  return Finish(FIO_OK, path);
}

int CRalImageIO::WriteSbigFile(CRalImage& image, const std::string& path, int askOptions) {
  auto refuse = [](std::string_view text) {
    AfxMessageBox(std::string(text));
    fileio_internal::SetLastError(FIO_ERR_CANCELLED);
    return 0;
  };
  const int type = CSbig::GetSbigType(image) & ~SBIG_COMPRESSED;
  if (type == 0) return refuse(ft::kSbigNotSbig);
  if (!CSbig::IsSbigType(type, ExtensionOf(path))) return refuse(ft::kSbigOtherType);
  if (!CSbig::IsWritable(image, type)) return refuse(ft::kSbigChanged);
  if (image.IsColor()) return refuse(ft::kSbigColor);

  int compressed = CSbig::GetSbigCompression(image.GetOrgFileFormat());
  if (askOptions && type != SBIG_ST4) {
    SaveSbigPrompt prompt;
    prompt.camera = SbigCameraName(type);
    prompt.compression = ReadBool("SaveSbigCompression", 0);
    if (!GetUserPrompts().Ask(prompt)) {
      fileio_internal::SetLastError(FIO_ERR_CANCELLED);
      return 0;
    }
    compressed = prompt.compression ? 1 : 0;
    WriteBool("SaveSbigCompression", compressed);
  }
  const int bits = type == SBIG_ST4 ? 8 : 16;
  const CRalImage* out = &image;
  std::unique_ptr<CRalImage> copy;
  if (image.GetBitsPixel() != bits || (bits == 16 && image.IsSigned())) {
    const int mode = AskChangeBitsMode(image, bits, askOptions);
    if (mode < 0) {
      fileio_internal::SetLastError(FIO_ERR_CANCELLED);
      return 0;
    }
    copy = ConvertedCopy(image, bits, 0, mode);
    if (!copy) return Finish(FIO_ERR_MEMORY, path);
    out = copy.get();
  }
  const int rc = CSbig::Write(*out, path, type | (compressed ? SBIG_COMPRESSED : 0),
                              GetProgressSink(), std::string(ft::kSaving));
  if (rc != SBG_OK) return Finish(rc, path);
  Saved(image, path,
        CSbig::GetTypeString(type) + " " +
            std::string(compressed ? kSbigCompressedText : kSbigPlainText));
  image.SetOrgBitsPixel(bits);
  image.SetOrgPlanes(1);
  return Finish(FIO_OK, path);
}

int CRalImageIO::WriteClipboard(CRalImage& image) {
  const std::string name(ft::kClipboardName);
  std::vector<std::uint8_t> dib;
  if (!image.GetDib(24, &dib)) return Finish(FIO_ERR_MEMORY, name);
  return Finish(CRalClipboard::Write(image, dib, GetProgressSink(), std::string(ft::kToClipboard)),
                name);
}
