// Reading headerless raw files through the FITS reader's data-array step, which checks
// the stated geometry against the file before anything is allocated.
#include "formats/raw/rawimage.h"

#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <new>

#include "fits/fileiocodes.h"
#include "fits/fits.h"
#include "imagemodel/image.h"
#include "platform/files.h"

namespace {

std::string Card(const char* format, int value) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

bool IsRawType(int bits) {
  return bits == 8 || bits == 16 || bits == 32 || bits == -32 || bits == -64;
}

int ReadRaw(CImage& image, const std::string& path, const RAWIMAGE& raw, ProgressSink* progress,
            const std::string& caption) {
  image.Empty();
  image.m_FitsHeader.DeleteAll();
  image.SetBitsPixel(raw.nBitsPixel);
  image.SetSigned(raw.bSigned ? 1 : 0);
  image.SetWidth(raw.nWidth);
  image.SetHeight(raw.nHeight);
  image.SetPlanes(raw.nPlanes);  // also the dimension: 3 for more than one plane
  image.SetBscale(1.0);
  image.SetBzero(0.0);
  image.SetOrgPlanes(raw.nPlanes);
  image.SetFirstFits(0);

  int fd = -1;
  struct stat st {};
  if (int e = OpenRegularFile(path, fd, &st)) return FioOpenCode(e);
  ScopedFd file(fd);
  if (!IsRawType(raw.nBitsPixel) || raw.nWidth <= 0 || raw.nHeight <= 0 ||
      (raw.nPlanes != 1 && raw.nPlanes != 3) || raw.nHeaderSize < 0)
    return FIO_ERR_FORMAT;
  // A skip past the end leaves nothing to read: the data step reports the short file.
  if (::lseek(fd, static_cast<off_t>(raw.nHeaderSize), SEEK_SET) < 0) return FIO_ERR_SHORT;
  const bool fileLittle = raw.nByteOrder == 0;
  const bool reverse = fileLittle != (std::endian::native == std::endian::little);
  const int rc = CFits::ReadImage(image, fd, reverse ? 1 : 0, 0, raw.nPlanes > 1 ? 1 : 0, 0, 1, 2,
                                  progress, caption);
  image.SetOwnLevel(0);
  if (rc != FITS_OK) return rc;

  if (!image.SetDefaultLevel()) return FIO_ERR_MEMORY;
  image.SetSaveableFormat(0);
  image.SetSaveableFile(0);
  image.SetOrgFileName(path);
  image.SetOrgFileFormat(kRawFormatName);
  image.SetOrgBitsPixel(raw.nBitsPixel);
  image.SetOrgPlanes(raw.nPlanes);
  CRawImage::MakeRequiredFitsHeader(image);
  return FIO_OK;
}

}  // namespace

void CRawImage::AddFitsHeader(CImage& image, std::string_view text) {
  std::string card(text.substr(0, 80));
  card.resize(80, ' ');
  image.m_FitsHeader.Add(card);
}

void CRawImage::MakeRequiredFitsHeader(CImage& image) {
  AddFitsHeader(image, "SIMPLE  =                    T");
  AddFitsHeader(image,
                Card("BITPIX  = %20d / # of bits storing pixel values", image.GetBitsPixel()));
  // Two axes also for a colour image: its planes are not a FITS cube.
  AddFitsHeader(image, Card("NAXIS   = %20d / # of axes in frame", 2));
  AddFitsHeader(image, Card("NAXIS1  = %20d / # of pixels/row", image.GetWidth()));
  AddFitsHeader(image, Card("NAXIS2  = %20d / # of rows in frame", image.GetHeight()));
}

int CRawImage::Read(CImage& image, const std::string& path, const RAWIMAGE& raw,
                    ProgressSink* progress, const std::string& caption) {
  try {
    return ReadRaw(image, path, raw, progress, caption);
  } catch (const std::bad_alloc&) {
    return FIO_ERR_MEMORY;
  }
}
