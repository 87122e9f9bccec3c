// A gzip-packed FITS file read without its pixels ever lying unpacked in a file: the
// stream is unpacked once into an in-memory file that holds every unit but the data of
// its first image, and those data are unpacked again, straight into the reader's rows,
// when the reader asks for them. Functions return file I/O codes
// (fits/fileiocodes.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/fitscomp/fitscomp.h"

struct gzFile_s;

namespace fitscomp {

// The data of the image unit that an unpacking left out: bytes [start, start + length)
// of the unpacked stream, zeros in the file. unit is -1 when nothing was left out.
struct GzipHole {
  int unit = -1;
  std::uint64_t start = 0, length = 0;
};

// Gunzip, leaving out of out the data of the first unit that holds an image (and is not
// tile-compressed), which *hole then describes; the file keeps its full length. Units
// are followed from header to header as the stream goes by; after a header that cannot
// be made out everything is written, but nothing behind the last unit when the record
// there begins no extension (no reader looks further). A primary header without END in
// the records a reader looks through is refused at once (7), however long the stream.
// out moves to disk when it would hold more than InMemoryLimit() (TempFile::Reserve).
// 0, the open codes, 46 (no gzip, or a corrupt or cut stream), 7, 6 or 5.
[[nodiscard]] int GunzipAroundImage(const std::string& path, TempFile& out, GzipHole* hole,
                                    unsigned long long limitBytes = 0);

// Writes the data that GunzipAroundImage left out into out, unpacking the stream again,
// and empties *hole: 0, 3, 46, 6 or 5. out moves to disk first when it would hold more
// than InMemoryLimit().
[[nodiscard]] int FillGzipHole(const std::string& path, TempFile& out, GzipHole* hole);

// Unpacked bytes of a gzip file read at any offset: forward by unpacking what lies
// between, backward by starting the stream again. Only a buffer of the stream is held.
class GzipReader {
 public:
  GzipReader() = default;
  ~GzipReader();
  GzipReader(const GzipReader&) = delete;
  GzipReader& operator=(const GzipReader&) = delete;
  // 0 or the open codes.
  [[nodiscard]] int Open(const std::string& path);
  // Unpacks n bytes at offset straight into buffer; false when the stream does not hold
  // them whole (cut short or corrupt).
  bool Read(void* buffer, std::size_t n, std::uint64_t offset);

 private:
  bool Skip(std::uint64_t n);
  gzFile_s* gz_ = nullptr;
  std::uint64_t at_ = 0;
};

}  // namespace fitscomp
