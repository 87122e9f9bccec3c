// Unpacking a gzip-packed FITS file through zlib's gz* functions: once to list its units
// (only their headers and the data of units that are not the image go into the file),
// then again for the image's data, as the reader reads them.
#include "formats/fitscomp/gzipstream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <vector>

#include "fits/fileiocodes.h"
#include "fits/fitscards.h"
#include "fits/fitshdu.h"
#include "platform/files.h"

namespace fitscomp {

namespace {

constexpr std::size_t kChunk = 1 << 20;
constexpr std::uint64_t kMaxHeaderRecords = 10000;

// Follows the units of a FITS stream as its bytes go by, and marks the data of the first
// image unit as the hole. Stops following (off) at anything it cannot make out; what
// comes after that is still the reader's to judge, and kept, unless it is no unit at all.
class UnitWalker {
 public:
  explicit UnitWalker(GzipHole* hole) : hole_(hole) {}

  void Feed(const char* p, std::size_t n) {
    while (n > 0 && !off_) {
      if (dataLeft_ > 0) {
        const auto k = static_cast<std::size_t>(std::min<std::uint64_t>(n, dataLeft_));
        dataLeft_ -= k;
        p += k;
        n -= k;
        pos_ += k;
        continue;
      }
      const std::size_t k = std::min(n, fitscards::kRecordSize - record_.size());
      record_.append(p, k);
      p += k;
      n -= k;
      pos_ += k;
      if (record_.size() == fitscards::kRecordSize) Record();
    }
  }

  // Where the bytes that a reader can use end: a record behind the units that begins no
  // extension ends what the reader and the unit listing look at (blank records, junk).
  std::uint64_t usedEnd() const { return usedEnd_; }
  // The primary header has no END within the records a reader looks through: the reader
  // refuses such a file as no FITS file, whatever follows.
  bool noPrimaryEnd() const { return noPrimaryEnd_; }

 private:
  void Record() {
    if (cards_.empty() && index_ > 0 && record_.compare(0, 10, "XTENSION= ") != 0) {
      usedEnd_ = pos_;
      off_ = true;
      return;
    }
    bool end = false;
    for (int c = 0; c < fitscards::kCardsPerRecord && !end; ++c) {
      cards_.push_back(
          record_.substr(static_cast<std::size_t>(c) * fitscards::kCardSize, fitscards::kCardSize));
      end = fitscards::IsKeyword(cards_.back(), "END");
    }
    record_.clear();
    if (!end) {
      off_ = ++records_ >= kMaxHeaderRecords;
      noPrimaryEnd_ = off_ && index_ == 0;
      return;
    }
    FitsHdu hdu;
    std::uint64_t padded = 0;
    if (!DescribeFitsUnit(cards_, index_, &hdu) ||
        !fitscards::AddOk(hdu.dataBytes, fitscards::kRecordSize - 1, &padded)) {
      off_ = true;
      return;
    }
    if (hole_ && hole_->unit < 0 && hdu.IsImage() && !hdu.compressed && hdu.dataBytes > 0)
      *hole_ = GzipHole{index_, pos_, hdu.dataBytes};
    dataLeft_ = padded / fitscards::kRecordSize * fitscards::kRecordSize;
    ++index_;
    records_ = 0;
    cards_.clear();
  }

  GzipHole* hole_;
  std::string record_;
  std::vector<std::string> cards_;
  std::uint64_t pos_ = 0, dataLeft_ = 0, records_ = 0;
  std::uint64_t usedEnd_ = std::numeric_limits<std::uint64_t>::max();
  int index_ = 0;
  bool off_ = false;
  bool noPrimaryEnd_ = false;
};

// The bytes of a file's allocated blocks: what a file in memory takes.
std::uint64_t HeldBytes(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_blocks) * 512 : 0;
}

// Opens the gzip file at path for reading: 0, or the open codes; 46 when it is no gzip.
int OpenGzip(const std::string& path, gzFile* out) {
  *out = nullptr;
  int fd = -1;
  if (int e = OpenRegularFile(path, fd)) return FioOpenCode(e);
  gzFile gz = gzdopen(fd, "rb");
  if (!gz) {
    ::close(fd);
    return FIO_ERR_MEMORY;
  }
  gzbuffer(gz, 256 * 1024);
  if (gzdirect(gz)) {
    gzclose(gz);
    return FIO_ERR_COMPRESSED;
  }
  *out = gz;
  return FIO_OK;
}

// Unpacks up to n bytes into buffer: the count, 0 at the stream's end, -1 when the stream
// is corrupt or (zlib ends one cut short without an error from gzread) ends early.
long long ReadGzip(gzFile gz, void* buffer, std::size_t n) {
  const int got = gzread(gz, buffer, static_cast<unsigned>(std::min<std::size_t>(n, 1u << 30)));
  if (got < 0) return -1;
  if (got == 0) {
    int err = Z_OK;
    gzerror(gz, &err);
    if (err != Z_OK && err != Z_STREAM_END) return -1;
  }
  return got;
}

}  // namespace

int GunzipAroundImage(const std::string& path, TempFile& out, GzipHole* hole,
                      unsigned long long limitBytes) {
  *hole = GzipHole{};
  gzFile gz = nullptr;
  if (int rc = OpenGzip(path, &gz)) return rc;
  if (::ftruncate(out.fd(), 0) != 0) {
    gzclose(gz);
    return FIO_ERR_WRITE;
  }
  UnitWalker walker(hole);
  std::vector<char> buffer(kChunk);
  std::uint64_t total = 0, stored = 0;
  int rc = FIO_OK;
  // Writes bytes [from, to) of the stream, of which the buffer holds [total, total + n),
  // moving the file to disk first when memory would hold too much of it.
  auto store = [&](std::uint64_t from, std::uint64_t to) {
    if (from >= to) return FIO_OK;
    if (!out.Reserve(stored + (to - from))) return FIO_ERR_MEMORY;
    stored += to - from;
    return WriteAllAt(out.fd(), buffer.data() + (from - total), static_cast<std::size_t>(to - from),
                      from) == 0
               ? FIO_OK
               : FIO_ERR_WRITE;
  };
  for (;;) {
    const long long got = ReadGzip(gz, buffer.data(), buffer.size());
    if (got < 0) {
      rc = FIO_ERR_COMPRESSED;
      break;
    }
    if (got == 0) break;
    const auto n = static_cast<std::uint64_t>(got);
    if (limitBytes && total + n > limitBytes) {
      rc = FIO_ERR_FORMAT;
      break;
    }
    // The walker has seen a hole's header before any of its data comes by.
    walker.Feed(buffer.data(), static_cast<std::size_t>(n));
    if (walker.noPrimaryEnd()) {
      rc = FIO_ERR_FORMAT;
      break;
    }
    // Only what a reader can use is kept; the rest of the stream is unpacked to be
    // checked and measured, and the file keeps its length.
    const std::uint64_t end = std::min(total + n, std::max(walker.usedEnd(), total));
    const std::uint64_t holeEnd = hole->start + hole->length;
    const std::uint64_t cutFrom = hole->unit < 0 ? end : std::clamp(hole->start, total, end);
    const std::uint64_t cutTo = hole->unit < 0 ? end : std::clamp(holeEnd, total, end);
    if ((rc = store(total, cutFrom)) != FIO_OK || (rc = store(cutTo, end)) != FIO_OK) break;
    total += n;
  }
  const int closed = gzclose(gz);
  if (rc == FIO_OK && closed != Z_OK) rc = FIO_ERR_COMPRESSED;
  if (rc == FIO_OK && total == 0) rc = FIO_ERR_COMPRESSED;
  // The hole (at the end, perhaps) is part of the file's length.
  if (rc == FIO_OK && (total > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
                       ::ftruncate(out.fd(), static_cast<off_t>(total)) != 0))
    rc = FIO_ERR_WRITE;
  // A file that ends inside the image's data holds only what it has of them.
  if (rc == FIO_OK && hole->unit >= 0 && hole->start + hole->length > total)
    hole->length = hole->start < total ? total - hole->start : 0;
  if (rc != FIO_OK || hole->length == 0) *hole = GzipHole{};
  return rc;
}

int FillGzipHole(const std::string& path, TempFile& out, GzipHole* hole) {
  if (hole->unit < 0) return FIO_OK;
  if (!out.Reserve(HeldBytes(out.fd()) + hole->length)) return FIO_ERR_MEMORY;
  GzipReader reader;
  if (int rc = reader.Open(path)) return rc;
  std::vector<char> buffer(kChunk);
  for (std::uint64_t done = 0; done < hole->length;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, hole->length - done));
    if (!reader.Read(buffer.data(), n, hole->start + done)) return FIO_ERR_COMPRESSED;
    if (WriteAllAt(out.fd(), buffer.data(), n, hole->start + done)) return FIO_ERR_WRITE;
    done += n;
  }
  *hole = GzipHole{};
  return FIO_OK;
}

GzipReader::~GzipReader() {
  if (gz_) gzclose(gz_);
}

int GzipReader::Open(const std::string& path) {
  gzFile gz = nullptr;
  if (int rc = OpenGzip(path, &gz)) return rc;
  if (gz_) gzclose(gz_);
  gz_ = gz;
  at_ = 0;
  return FIO_OK;
}

bool GzipReader::Skip(std::uint64_t n) {
  std::vector<char> dropped(static_cast<std::size_t>(std::min<std::uint64_t>(n, kChunk)));
  while (n > 0) {
    const long long got =
        ReadGzip(gz_, dropped.data(), static_cast<std::size_t>(std::min<std::uint64_t>(n, kChunk)));
    if (got <= 0) return false;
    n -= static_cast<std::uint64_t>(got);
    at_ += static_cast<std::uint64_t>(got);
  }
  return true;
}

bool GzipReader::Read(void* buffer, std::size_t n, std::uint64_t offset) {
  if (!gz_) return false;
  if (offset < at_) {
    if (gzrewind(gz_) != 0) return false;
    at_ = 0;
  }
  if (!Skip(offset - at_)) return false;
  auto* p = static_cast<char*>(buffer);
  while (n > 0) {
    const long long got = ReadGzip(gz_, p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
    at_ += static_cast<std::uint64_t>(got);
  }
  return true;
}

}  // namespace fitscomp
