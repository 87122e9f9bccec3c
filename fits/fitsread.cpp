// The FITS reader's entry points: the texts of its strings and result codes, reading a
// header or a whole image with its levels and extensions, and the byte order of pixels.
// The steps they call live beside this file: the file's low-level reads
// (fitsfile_io.cpp), the header's cards (fitsread_header.cpp), the data array
// (fitsread_data.cpp) and the extensions (fitsread_ext.cpp). Every size taken from a
// header is checked in 64-bit arithmetic and against the length of the file before
// anything is allocated or read.
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fits/byteorder.h"
#include "fits/fits.h"
#include "fits/fitscards.h"
#include "fits/fitshdu.h"
#include "fits/fitsread_internal.h"
#include "imagemodel/image.h"
#include "platform/files.h"
#include "settings/registry.h"

using namespace fitscards;
using namespace fitsread;

// ---------------------------------------------------------------- texts

std::string_view CFits::LoadString(int id) {
  switch (id) {
    case IDS_FITS_LEVEL_MIN_KEY:
      return kFitsLevelMinKey;
    case IDS_FITS_LEVEL_MAX_KEY:
      return kFitsLevelMaxKey;
    case IDS_FITS_MIN_COMMENT:
      return kFitsMinComment;
    case IDS_FITS_MAX_COMMENT:
      return kFitsMaxComment;
    case IDS_FITS_MIN_COMMENT_R:
      return kFitsMinCommentR;
    case IDS_FITS_MAX_COMMENT_R:
      return kFitsMaxCommentR;
    case IDS_FITS_MIN_COMMENT_G:
      return kFitsMinCommentG;
    case IDS_FITS_MAX_COMMENT_G:
      return kFitsMaxCommentG;
    case IDS_FITS_MIN_COMMENT_B:
      return kFitsMinCommentB;
    case IDS_FITS_MAX_COMMENT_B:
      return kFitsMaxCommentB;
    case IDS_FITS_SITYPE_RGB:
      return kFitsSiTypeRgb;
    case IDS_FITS_PARAM_RULE:
      return kFitsParamRule;
    case IDS_FITS_PARAM_TITLE:
      return kFitsParamTitle;
    case IDS_FITS_PARAM_RULE_END:
      return kFitsParamRuleEnd;
    case IDS_FITS_FORMAT_NAME:
      return kFitsFormatName;
    case IDS_FITS_MATRIX_MISMATCH:
      return kFitsMatrixMismatch;
    case IDS_FITS_CD_NAME:
      return kFitsCdName;
    case IDS_FITS_PC_NAME:
      return kFitsPcName;
    default:
      return {};
  }
}

std::string_view CFits::ResultText(int code) {
  switch (code) {
    case FITS_OK:
      return "success";
    case FITS_CREATE_FAILED:
      return "the file cannot be created";
    case FITS_OPEN_FAILED:
      return "the file cannot be opened";
    case FITS_READ_FAILED:
      return "the file is shorter than its header or data, or a read failed";
    case FITS_WRITE_FAILED:
      return "writing the file failed";
    case FITS_NO_MEMORY:
      return "there is not enough memory for the image";
    case FITS_INVALID_IMAGE:
      return "the image or an extension is invalid or not supported";
    case FITS_INVALID_CARD:
      return "a header card is invalid";
    case FITS_NO_MORE_EXTENSION:
      return "no further extension";
    case FITS_FOREIGN_EXTENSION:
      return "an extension was kept unread or stepped over";
    case FITS_IS_FOLDER:
      return "the name is a folder, not a file";
    case FITS_NOT_REGULAR:
      return "the name is not a regular file (a device, a FIFO or a socket)";
    case FITS_LINK_LOOP:
      return "the name's symbolic links lead round in a loop";
    case FITS_EXTRA_AXIS:
      return "an axis beyond the third is longer than 1 (more than three dimensions)";
    default:
      return "unknown result";
  }
}

// ---------------------------------------------------------------- reading

int CFits::ReadHeader(CImage& image, const std::string& path, int showMessages, int hdu) {
  try {
    int raw = -1;
    if (int e = OpenRegularFile(path, raw)) return FioCodeOfNameError(e, FITS_OPEN_FAILED);
    ScopedFd fd(raw);
    std::uint64_t dataStart = 0, headerStart = 0;
    if (int rc = UnitHeaderStart(fd.get(), hdu, &headerStart)) return rc;
    return ReadPrimaryHeader(image, fd.get(), showMessages, &dataStart, headerStart);
  } catch (const std::bad_alloc&) {
    return FITS_NO_MEMORY;
  } catch (const std::exception&) {
    return FITS_INVALID_IMAGE;
  }
}

int CFits::ReadImage(CImage& image, int fd, int reverseBytes, int bottomUp, int color, int plane0,
                     int plane1, int plane2, ProgressSink* progress, const std::string& caption) {
  try {
    return ReadImageStep(image, fd, reverseBytes != 0, bottomUp != 0, color, plane0, plane1, plane2,
                         progress, caption, false, nullptr);
  } catch (const std::bad_alloc&) {
    return FITS_NO_MEMORY;
  }
}

namespace {

int FitsBottomUpSetting() {
  int bottomUp = 1;
  CRegistry::Read("IO", "FitsBottomUp", 1, bottomUp, CRegistry::TYPE_BOOL);
  return bottomUp;
}

// Integers folded into real values, every plane of the file in its own order and every
// row read: the image holds exactly the data unit, which a save in the file's own form
// may then copy rather than convert back. Anything less keeps no mark.
void MarkIfWhole(CImage& image, const ImageStepResult& step, int filePlanes, int fileBits,
                 double bscale, double bzero, int blankUsed, int blank, int bottomUp,
                 KeptSource& source) {
  image.ClearUnchanged();
  const bool integer = fileBits == 8 || fileBits == 16 || fileBits == 32;
  if (!step.folded || !integer || image.GetFirstFits() || image.GetPlanes() != filePlanes ||
      step.source.size() != static_cast<std::size_t>(filePlanes))
    return;
  for (int k = 0; k < filePlanes; ++k)
    if (step.source[static_cast<std::size_t>(k)] != k) return;
  StoredDataUnit unit;
  unit.file = source.Get();
  if (!unit.file) return;
  unit.offset = step.dataStart;
  unit.length = step.dataEnd - step.dataStart;
  unit.bits = fileBits;
  unit.bscale = bscale;
  unit.bzero = bzero;
  unit.blankUsed = blankUsed;
  unit.blank = blank;
  unit.anyBlank = step.anyBlank;
  unit.bottomUp = bottomUp;
  image.MarkUnchangedSince(std::move(unit));
}

}  // namespace

int CFits::Read(CImage& image, const std::string& path, int isSigned, int color, int plane0,
                int plane1, int plane2, ProgressSink* progress, const std::string& caption,
                int skipExtensions, int foldBits, int hdu) {
  g_cutExtension = FitsCutExtension{};
  g_damagedExtensions.clear();
  g_int64Rounded = false;
  try {
    int raw = -1;
    struct stat st {};
    if (int e = OpenRegularFile(path, raw, &st)) return FioCodeOfNameError(e, FITS_OPEN_FAILED);
    ScopedFd fd(raw);
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);
    // What the file looks like before anything is read from it: a kept extension whose
    // data stay in the file is copied at a save only while the file still looks so.
    FitsFileIdentity identity;
    const bool identified = FitsFileIdentity::Of(fd.get(), &identity);
    const int bottomUp = FitsBottomUpSetting();

    std::uint64_t dataStart = 0, headerStart = 0;
    if (int rc = UnitHeaderStart(fd.get(), hdu, &headerStart)) return rc;
    if (int rc = ReadPrimaryHeader(image, fd.get(), 1, &dataStart, headerStart)) return rc;
    // An image from an extension stands alone: the file's other units stay in the file.
    if (hdu > 0) {
      image.m_FitsExtensions.clear();
      image.m_KeptExtensions.clear();
      skipExtensions = 1;
    }

    image.SetSigned(isSigned);
    const int filePlanes = image.GetPlanes();
    image.SetOwnLevel(HasLevelKeywords(image) ? 1 : 0);

    // Pixels are stored in the machine's order; FITS data are big-endian, unless the file
    // is being unpacked for this read in the machine's order.
    const bool reverse =
        std::endian::native == std::endian::little && !(g_dataGate && g_dataGate->NativeOrder());
    if (::lseek(fd.get(), static_cast<off_t>(dataStart), SEEK_SET) < 0) return FITS_READ_FAILED;
    const int fileBits = image.GetBitsPixel();
    const int siTypeRGB = image.IsSITypeRGB();
    const double fileBscale = image.GetBscale(), fileBzero = image.GetBzero();
    const int fileBlankUsed = image.IsBlankUsed(), fileBlank = image.GetBlank();
    // The open file, shared by kept extensions whose data stay in it and by the mark
    // that lets a save copy the pixels' data unit.
    KeptSource source;
    source.fd = fd.get();
    source.identity = identity;
    source.identified = identified;
    ImageStepResult step;
    int rc = ReadImageStep(image, fd.get(), reverse, bottomUp != 0, color, plane0, plane1, plane2,
                           progress, caption, !image.HasOwnLevel(), &step, foldBits);
    if (rc == FITS_FOLD_NEEDS_DOUBLES) {
      // Floats do not hold every value of this file: the data come in again as doubles.
      image.SetPlanes(filePlanes);
      image.SetSITypeRGB(siTypeRGB);
      if (::lseek(fd.get(), static_cast<off_t>(dataStart), SEEK_SET) < 0) return FITS_READ_FAILED;
      rc = ReadImageStep(image, fd.get(), reverse, bottomUp != 0, color, plane0, plane1, plane2,
                         progress, caption, !image.HasOwnLevel(), &step, -64);
    }
    if (rc != FITS_OK) return rc;

    if (image.HasOwnLevel()) {
      // Levels from the keywords: an RGB file read in another plane order takes the
      // levels of the planes it read, otherwise image plane k keeps those of file plane k.
      image.AllocLevel();
      for (int k = 0; k < image.GetPlanes(); ++k) {
        const int from = step.rgbReordered ? step.source[static_cast<std::size_t>(k)] : k;
        if (from >= filePlanes) continue;
        const KeywordLevel level = LevelOfFilePlane(image, from);
        image.SetLevel(k, level.min, level.max);
      }
    }

    if (!skipExtensions) {
      image.m_FitsExtensions.clear();
      image.m_KeptExtensions.clear();
      // Extensions are interpreted only when the header announces them (EXTEND T);
      // a file that has them without saying so keeps them all unread, so that a save
      // does not lose them.
      const bool interpret = image.GetExtend() != 0;
      const off_t after = ::lseek(fd.get(), 0, SEEK_CUR);
      std::uint64_t pos = after < 0 ? fileSize : static_cast<std::uint64_t>(after);
      for (int number = 1;; ++number) {
        FitsCutExtension cut;
        const int rc = ReadExtension(image, fd.get(), fileSize, &pos, filePlanes, image.GetPlanes(),
                                     interpret, source, &cut, number);
        if (rc == FITS_NO_MORE_EXTENSION) {
          if (cut.number != 0) {
            cut.number = number;
            g_cutExtension = std::move(cut);
          }
          break;
        }
        if (rc != FITS_OK && rc != FITS_FOREIGN_EXTENSION) return rc;
      }
      image.SetExtend(image.m_FitsExtensions.empty() && image.m_KeptExtensions.empty() ? 0 : 1);
    }

    if (!image.HasOwnLevel()) {
      // The same levels as SetDefaultLevel, from the ranges gathered while reading.
      image.AllocLevel();
      for (int k = 0; k < image.GetPlanes(); ++k) {
        const PlaneRange& r = step.ranges[static_cast<std::size_t>(k)];
        image.SetLevel(k, r.min, r.max);
      }
    }
    image.SetSaveableFormat(1);
    image.SetSaveableFile(::access(path.c_str(), W_OK) == 0 ? 1 : 0);
    image.SetOrgFileName(path);
    image.SetOrgFileFormat(kFitsFormatName);
    image.SetOrgBitsPixel(fileBits);

    if (filePlanes > 1 && image.GetPlanes() == 1) {
      const int table = WCSFromExtension(image);
      if (table >= 0) UpdateHeaderWCS(image, table, plane0);
    }
    MarkIfWhole(image, step, filePlanes, fileBits, fileBscale, fileBzero, fileBlankUsed, fileBlank,
                bottomUp, source);
    return FITS_OK;
  } catch (const std::bad_alloc&) {
    return FITS_NO_MEMORY;
  } catch (const std::exception&) {
    return FITS_INVALID_IMAGE;
  }
}

// ---------------------------------------------------------------- byte order

void CFits::ByteSwap(std::uint8_t& a, std::uint8_t& b) {
  std::swap(a, b);
}

void CFits::ReverseByteOrderBuffer(void* buffer, int bits, std::size_t count) {
  fitsbytes::ReverseBytes(buffer, bits, count);
}

int CFits::ReverseByteOrderLine(CImage& image, int row, int plane) {
  void* p = image.GetImageAdr(0, row, plane);
  if (!p) return 0;
  ReverseByteOrderBuffer(p, image.GetBitsPixel(), static_cast<std::size_t>(image.GetWidth()));
  return 1;
}

int CFits::ReverseByteOrderPage(CImage& image) {
  for (int p = 0; p < image.GetPlanes(); ++p)
    for (int y = 0; y < image.GetHeight(); ++y)
      if (!ReverseByteOrderLine(image, y, p)) return 0;
  return 1;
}
