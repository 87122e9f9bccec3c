// What the files of the FITS reader share: the file's low-level reads, the header steps
// and the data-array step that the entry points call, the results they hand back, and
// the extension loop with what it notes on this thread. Private to the library: the
// functions and types live in namespace fitsread, the entry points are CFits's own.
#pragma once

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fits/fits.h"
#include "imagemodel/image.h"
#include "platform/files.h"

namespace fitsread {

// ---- the file's low-level reads (fitsfile_io.cpp)

// A header longer than this many records is refused rather than read into memory.
constexpr std::uint64_t kMaxHeaderRecords = 10000;

// The gate this thread's reads wait on for data still being written (see SetDataGate).
extern thread_local FitsDataGate* g_dataGate;

bool DataReady(std::uint64_t end);

// Reads up to n bytes at offset; the count read (short only at the end of the file), or
// -1 on an error.
long long ReadAt(int fd, void* buffer, std::size_t n, std::uint64_t offset);

// Reads exactly n bytes of data at offset, from the gate when it supplies them, else
// from the file.
bool ReadDataAt(int fd, void* buffer, std::size_t n, std::uint64_t offset);

// ReadVectorAt through the gate: the vectors lie one after another in the file.
bool ReadDataVectorAt(int fd, iovec* iov, int count, std::uint64_t offset);

std::uint64_t FileSize(int fd, bool* regular);

// Reads the header that starts at offset into cards until its END card. Returns 0, 4
// (a short read after the first record) or 7 (too long); *end is the offset behind it.
int ReadCards(int fd, std::uint64_t offset, const char* firstRecord,
              std::vector<std::string>* cards, std::uint64_t* end);

// ---- the header (fitsread_header.cpp)

// The pixel types of files that can be read: the image's own, and 64-bit integers, which
// the widest image type (doubles) takes.
bool IsFileType(int bits);

// The string value of a card, quotes included, when its closing quote stands at
// position minQuote or later; empty otherwise.
std::string QuotedValue(std::string_view card, std::size_t minQuote);

double* MatrixElement(tagMATRIX2_2& m, int i, int j);
bool InMatrix(int i);

// Reads the header of the image unit that starts headerStart bytes into fd: the primary
// header at 0, an image extension's further in (then also adopting what the extension
// takes from the primary header, AdoptExtensionHeader). *dataStart receives the offset of
// the data array. Returns 0, 4, 7 or 17.
int ReadPrimaryHeader(CImage& img, int fd, int showMessages, std::uint64_t* dataStart,
                      std::uint64_t headerStart = 0);

// The display levels that the header's SI-LMINn and SI-LMAXn cards give one file plane,
// applied as SetLevelMin then SetLevelMax would apply them to fresh levels.
struct KeywordLevel {
  double min = 0.0;
  double max = 1.0;
  void Set(double lo, double hi) {
    if (hi - lo <= 0) hi = lo + 1.0;
    min = lo;
    max = hi;
  }
};

// Whether the header carries level keywords for any of its planes. Keywords are cut to
// eight characters, so plane 10 and up share the keywords of their first digit.
bool HasLevelKeywords(const CImage& img);

KeywordLevel LevelOfFilePlane(const CImage& img, int filePlane);

// ---- the data array (fitsread_data.cpp)

// Whether the last Read on this thread took 64-bit integers that doubles do not hold.
extern thread_local bool g_int64Rounded;

// Smallest and largest physical value of one plane, gathered while its rows come in.
struct PlaneRange {
  double min = DBL_MAX;
  double max = -DBL_MAX;
  void Merge(const PlaneRange& o) {
    min = o.min < min ? o.min : min;
    max = o.max > max ? o.max : max;
  }
};

// What the data-array step tells Read: which file plane fills each image plane, whether
// the planes of an RGB file were taken out of their order, and the range of each plane.
struct ImageStepResult {
  std::vector<int> source;
  bool rgbReordered = false;
  std::vector<PlaneRange> ranges;
  // Where the data array of every file plane lies, whether its integers were folded into
  // real values, and whether a blank pixel was met while folding.
  std::uint64_t dataStart = 0;
  std::uint64_t dataEnd = 0;
  bool folded = false;
  bool anyBlank = false;
};

// With foldBits -32 or -64 the pixels are folded into physical values as they are read
// (as CImage::FoldPhysical would fold them afterwards), so only the folded copy is ever
// in memory; FITS_FOLD_NEEDS_DOUBLES asks the caller to read again into 64-bit floats.
constexpr int FITS_FOLD_NEEDS_DOUBLES = -1;

int ReadImageStep(CImage& img, int fd, bool reverse, bool bottomUp, int color, int plane0,
                  int plane1, int plane2, ProgressSink* progress, const std::string& caption,
                  bool wantRanges, ImageStepResult* result, int foldBits = 0);

// ---- extensions (fitsread_ext.cpp)

// The file being read, shared with the kept extensions whose data stay in it. The
// descriptor is duplicated only when the first such extension turns up.
struct KeptSource {
  int fd = -1;
  FitsFileIdentity identity;
  bool identified = false;
  std::shared_ptr<const CFitsSourceFile> shared;

  std::shared_ptr<const CFitsSourceFile> Get() {
    if (!shared && identified) {
      const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
      if (copy >= 0) shared = std::make_shared<const CFitsSourceFile>(copy, identity);
    }
    return shared;
  }
};

// The extension the last Read on this thread left out because the file ends inside it.
extern thread_local FitsCutExtension g_cutExtension;
// The extensions the last Read on this thread could not parse and kept as bytes.
extern thread_local std::vector<FitsCutExtension> g_damagedExtensions;

// One step of the extension loop: reads or keeps the extension at *pos (rounded up to a
// record) and moves *pos behind it. The reader interprets the system's own tables and
// nameless extensions of a single plane read from the file, and in a cube read as one
// plane also another program's table of plane coordinates; a cube read in colour
// interprets none. Everything else is kept unread. Returns 0, 4, 6, 7, 28 or 29 (kept).
int ReadExtension(CImage& img, int fd, std::uint64_t fileSize, std::uint64_t* pos, int filePlanes,
                  int planesRead, bool interpret, KeptSource& source, FitsCutExtension* cut,
                  int number);

// Where the header of unit hdu begins: 0 for the primary; for an extension it must be an
// uncompressed image. Returns 0, 7, or 47 for an image of more than three dimensions.
int UnitHeaderStart(int fd, int hdu, std::uint64_t* start);

}  // namespace fitsread
