// gzip through zlib's gz* stream functions; tile compression through cfitsio, whose
// status codes are turned into the file I/O codes here so that nothing above this
// library sees them.
#include "formats/fitscomp/fitscomp.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "fits/fitshdu.h"
#include "formats/fio/fileiocodes.h"
#include "formats/fitscomp/cfitsiolib.h"
#include "formats/fitscomp/tilelayout.h"
#include "platform/files.h"
#include "platform/memhints.h"

namespace fitscomp {

namespace {

constexpr std::size_t kChunk = 1 << 20;
// Rows are decoded in bands of about this many bytes, small enough to stay in the cache
// while their bytes are turned.
constexpr std::size_t kBand = 256 << 10;
// An image larger than this is refused rather than unpacked.
std::atomic<std::uint64_t> g_maxImageBytes{std::uint64_t{4} << 30};
std::atomic<std::uint64_t> g_parallelUnpackBytes{std::uint64_t{8} << 20};

std::string Card(const char* key, long long value) {
  char card[81];
  std::snprintf(card, sizeof card, "%-8.8s= %20lld", key, value);
  std::string text(card);
  text.resize(80, ' ');
  return text;
}

void SwapToBigEndian(unsigned char* p, int bytes, std::size_t count) {
  switch (bytes) {
    case 2:
      for (std::size_t i = 0; i < count; ++i, p += 2) {
        std::uint16_t v;
        std::memcpy(&v, p, 2);
        v = __builtin_bswap16(v);
        std::memcpy(p, &v, 2);
      }
      break;
    case 4:
      for (std::size_t i = 0; i < count; ++i, p += 4) {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        v = __builtin_bswap32(v);
        std::memcpy(p, &v, 4);
      }
      break;
    case 8:
      for (std::size_t i = 0; i < count; ++i, p += 8) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        v = __builtin_bswap64(v);
        std::memcpy(p, &v, 8);
      }
      break;
    default:
      break;
  }
}

struct FitsCloser {
  fitsfile* f = nullptr;
  ~FitsCloser() {
    int status = 0;
    if (f) Cfitsio()->close_file(f, &status);
  }
};

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// Copies the file at from into an AtomicFile over target: 0, 3, 2 or 5.
int CommitCopy(const std::string& from, const std::string& target) {
  int in = -1;
  if (int e = OpenRegularFile(from, in)) return FioOpenCode(e);
  AtomicFile out;
  if (int e = out.Open(target)) {
    ::close(in);
    return FioCreateCode(e);
  }
  std::vector<char> buffer(kChunk);
  for (;;) {
    const ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(in);
      return FIO_ERR_WRITE;
    }
    if (got == 0) break;
    if (out.Write(buffer.data(), static_cast<std::size_t>(got)) != 0) {
      ::close(in);
      return FIO_ERR_WRITE;
    }
  }
  ::close(in);
  return out.Commit() == 0 ? FIO_OK : FIO_ERR_WRITE;
}

// Decodes image rows [from, to) of the compressed unit that in stands at straight into
// out, the shared mapping of the unpacked file's data, a band of rows at a time: cfitsio
// writes the pixels in the machine's order, where they stay when native is asked for;
// otherwise each band is turned big-endian, as FITS data are, while it is still in the
// cache.
int DecodeRows(fitsfile* in, int bitpix, const std::vector<std::int64_t>& axes, long long from,
               long long to, unsigned char* out, bool native) {
  const long width = static_cast<long>(axes[0]);
  int status = 0;
  // Integers come as stored (no scaling, blank values as they are); quantised reals come
  // as reals, their blank pixels as NaN.
  if (Cfitsio()->set_bscale(in, 1.0, 0.0, &status)) return FIO_ERR_COMPRESSED;
  const int bytes = std::abs(bitpix) / 8;
  const long long band = std::max<long long>(1, static_cast<long long>(kBand) / (width * bytes));
  int type = TDOUBLE;
  if (bitpix == 8)
    type = TBYTE;
  else if (bitpix == 16)
    type = TSHORT;
  else if (bitpix == 32)
    type = TINT;
  else if (bitpix == -32)
    type = TFLOAT;
  float floatNull = std::numeric_limits<float>::quiet_NaN();
  double doubleNull = std::numeric_limits<double>::quiet_NaN();
  void* null = bitpix == -32   ? static_cast<void*>(&floatNull)
               : bitpix == -64 ? static_cast<void*>(&doubleNull)
                               : nullptr;
  // cfitsio reads runs of pixels of compressed images of three axes at most; further axes
  // (of length 1 here) need the rows asked for as a section, one plane at a time.
  const bool sections = axes.size() > 3;
  const long long height = axes.size() > 1 ? static_cast<long long>(axes[1]) : 1;
  for (long long row = from; row < to;) {
    long long rows = std::min(band, to - row);
    if (sections) rows = std::min(rows, height - row % height);
    const long long count = rows * width;
    unsigned char* at = out + row * width * bytes;
    int anyNull = 0;
    if (sections) {
      std::vector<long> first(axes.size(), 1), last(axes.size(), 1), step(axes.size(), 1);
      last[0] = width;
      first[1] = static_cast<long>(row % height + 1);
      last[1] = static_cast<long>(row % height + rows);
      first[2] = last[2] = static_cast<long>(row / height + 1);
      if (Cfitsio()->read_subset(in, type, first.data(), last.data(), step.data(), null, at,
                                 &anyNull, &status))
        return status == MEMORY_ALLOCATION ? FIO_ERR_MEMORY : FIO_ERR_COMPRESSED;
    } else if (Cfitsio()->read_img(in, type, row * width + 1, count, null, at, &anyNull, &status)) {
      return status == MEMORY_ALLOCATION ? FIO_ERR_MEMORY : FIO_ERR_COMPRESSED;
    }
    if constexpr (std::endian::native == std::endian::little)
      if (!native) SwapToBigEndian(at, bytes, static_cast<std::size_t>(count));
    row += rows;
  }
  return FIO_OK;
}

}  // namespace

unsigned long long SetParallelUnpackBytes(unsigned long long bytes) {
  return g_parallelUnpackBytes.exchange(bytes);
}

unsigned long long SetMaxImageBytes(unsigned long long bytes) {
  return g_maxImageBytes.exchange(bytes);
}

bool IsGzipFile(const std::string& path) {
  int fd = -1;
  if (OpenRegularFile(path, fd) != 0) return false;
  unsigned char magic[2] = {0, 0};
  const bool gz = ::pread(fd, magic, 2, 0) == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
  ::close(fd);
  return gz;
}

TempFile::~TempFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!path_.empty() && !inMemory_) ::unlink(path_.c_str());
}

bool TempFile::CreateInMemory() {
  const int fd = ::memfd_create("vantorel-unpacked", MFD_CLOEXEC);
  if (fd < 0) return Create();
  fd_ = fd;
  inMemory_ = true;
  // The name under which this process (and its children, which inherit the descriptor)
  // can open the file again.
  path_ = "/proc/self/fd/" + std::to_string(fd);
  return true;
}

bool TempFile::Create(const std::string& folder) {
  std::string dir = folder;
  if (dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    dir = tmp && *tmp ? tmp : "/tmp";
  }
  std::string name = dir + "/.vtl-fitscomp-XXXXXX";
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  fd_ = fd;
  path_ = name;
  return true;
}

// ---- unpacking in children

// cfitsio decodes one tile at a time on one core, and its tile decoders trust the tile
// bytes and can read or write out of bounds on a damaged tile, which must cost the file,
// not the program: the decoding runs in child processes, side by side. The image's rows
// are dealt out in bands, band b to child b mod n, so that every child works near the
// reader, which reads the file from its start. Each child counts its finished bands in a
// shared page and wakes the reader; it reports its code as its exit status, and one that
// dies of a signal had a damaged tile.
struct Unpacking::Shared {
  std::atomic<std::uint32_t> done[kMaxWorkers];
};

namespace {

long Futex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value, const timespec* timeout) {
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
  return ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, value, timeout, nullptr,
                   0);
}

// Inflates one tile of 64-bit integers compressed with gzip (or zlib) into exactly n
// pixels at out, big-endian; with shuffled (GZIP_2) the tile holds the pixels' first
// bytes, then their second bytes, and so on, put back in place here through scratch.
// False when the tile does not inflate to exactly that many bytes.
bool InflateTile(unsigned char* packed, std::size_t length, std::uint64_t n, bool shuffled,
                 unsigned char* out, std::vector<unsigned char>& scratch) {
  const std::size_t bytes = static_cast<std::size_t>(n) * 8;
  unsigned char* into = out;
  if (shuffled) {
    scratch.resize(bytes);
    into = scratch.data();
  }
  z_stream z{};
  // 15 + 32: a gzip or a zlib wrapper, whichever the tile has.
  if (inflateInit2(&z, 15 + 32) != Z_OK) return false;
  z.next_in = packed;
  z.avail_in = static_cast<uInt>(length);
  z.next_out = into;
  z.avail_out = static_cast<uInt>(bytes);
  const int rc = inflate(&z, Z_FINISH);
  const bool whole = rc == Z_STREAM_END && z.avail_out == 0;
  inflateEnd(&z);
  if (!whole) return false;
  if (shuffled)
    for (std::size_t b = 0; b < 8; ++b) {
      const unsigned char* plane = scratch.data() + b * static_cast<std::size_t>(n);
      for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) out[i * 8 + b] = plane[i];
    }
  return true;
}

// Decodes bands k, k + workers, ... of an image of integer rows compressed with RICE (see
// TileLayout::riceRows) or gzip (TileLayout::gzipRows) straight from the file's heap, with
// cfitsio's RICE decoder or zlib, tile by tile, without the rest of cfitsio's tile
// machinery; counts each band done in *done. The RICE decoder gives the machine's byte
// order, the gzip tiles FITS's: each band is turned to the order asked for where they
// differ.
int DecodeDirectBands(const std::string& path, const TileLayout& layout, int k, int workers,
                      std::uint64_t bands, std::uint64_t bandRows, unsigned char* data,
                      std::atomic<std::uint32_t>* done, bool native) {
  int fd = -1;
  if (OpenRegularFile(path, fd) != 0) return FIO_ERR_COMPRESSED;
  const auto width = static_cast<std::uint64_t>(layout.axes[0]);
  const auto tileRows = static_cast<std::uint64_t>(layout.tile.size() > 1 ? layout.tile[1] : 1);
  const std::uint64_t rows =
      layout.imageBytes / (width * static_cast<std::uint64_t>(layout.bytePix));
  const std::uint64_t rowBytes = width * static_cast<std::uint64_t>(layout.bytePix);
  std::vector<unsigned char> packed, scratch;
  const bool decodedNative = layout.gzipRows == 0;
  int rc = FIO_OK;
  for (std::uint64_t b = static_cast<std::uint64_t>(k); b < bands && rc == FIO_OK;
       b += static_cast<std::uint64_t>(workers)) {
    const std::uint64_t from = b * bandRows, to = std::min(rows, (b + 1) * bandRows);
    PrefaultForWrite(data + from * rowBytes, (to - from) * rowBytes);
    // Bands are whole tiles.
    for (std::uint64_t t = from / tileRows; t * tileRows < to && rc == FIO_OK; ++t) {
      const std::uint64_t length = layout.tileLength[static_cast<std::size_t>(t)];
      packed.resize(static_cast<std::size_t>(length));
      std::size_t got = 0;
      while (got < packed.size()) {
        const ssize_t g =
            ::pread(fd, packed.data() + got, packed.size() - got,
                    static_cast<off_t>(layout.heapStart +
                                       layout.tileOffset[static_cast<std::size_t>(t)] + got));
        if (g < 0 && errno == EINTR) continue;
        if (g <= 0) break;
        got += static_cast<std::size_t>(g);
      }
      if (got != packed.size()) {
        rc = FIO_ERR_COMPRESSED;
        break;
      }
      unsigned char* out = data + t * tileRows * rowBytes;
      const int n = static_cast<int>(std::min(tileRows, rows - t * tileRows) * width);
      const int clen = static_cast<int>(length);
      int bad = 0;
      if (layout.gzipRows)
        bad = InflateTile(packed.data(), packed.size(),
                          std::min(tileRows, rows - t * tileRows) * width, layout.gzipRows == 2,
                          out, scratch)
                  ? 0
                  : 1;
      else if (layout.bytePix == 1)
        bad = Cfitsio()->rdecomp_byte(packed.data(), clen, out, n, layout.blockSize);
      else if (layout.bytePix == 2)
        bad = Cfitsio()->rdecomp_short(packed.data(), clen, reinterpret_cast<unsigned short*>(out),
                                       n, layout.blockSize);
      else
        bad = Cfitsio()->rdecomp(packed.data(), clen, reinterpret_cast<unsigned int*>(out), n,
                                 layout.blockSize);
      if (bad) rc = FIO_ERR_COMPRESSED;
    }
    if (rc != FIO_OK) break;
    if constexpr (std::endian::native == std::endian::little)
      if (native != decodedNative)
        SwapToBigEndian(data + from * rowBytes, layout.bytePix,
                        static_cast<std::size_t>((to - from) * width));
    done->fetch_add(1, std::memory_order_release);
    (void)Futex(done, FUTEX_WAKE, INT32_MAX, nullptr);
  }
  ::close(fd);
  return rc;
}

int CodeOfStatus(int status) {
  if (!WIFEXITED(status)) return FIO_ERR_COMPRESSED;
  const int code = WEXITSTATUS(status);
  return code == FIO_OK || code == FIO_ERR_WRITE || code == FIO_ERR_MEMORY ? code
                                                                           : FIO_ERR_COMPRESSED;
}

}  // namespace

Unpacking::Unpacking() = default;

Unpacking::~Unpacking() {
  // Children whose file nobody reads any more are stopped rather than waited for.
  for (int k = 0; k < workers_; ++k)
    if (!reaped_[k]) ::kill(pids_[k], SIGKILL);
  (void)Finish();
  if (shared_) ::munmap(shared_, sizeof(Shared));
}

std::uint64_t Unpacking::BandsOf(int k, std::uint64_t bands) const {
  const auto n = static_cast<std::uint64_t>(workers_), uk = static_cast<std::uint64_t>(k);
  return bands > uk ? (bands - uk + n - 1) / n : 0;
}

bool Unpacking::Reap(int k, bool block) {
  if (reaped_[k]) return true;
  int status = 0;
  pid_t got = 0;
  while ((got = ::waitpid(pids_[k], &status, block ? 0 : WNOHANG)) < 0 && errno == EINTR) {
  }
  if (got == 0) return false;
  reaped_[k] = true;
  const int code = got < 0 ? FIO_ERR_COMPRESSED : CodeOfStatus(status);
  if (result_ == FIO_OK) result_ = code;
  return true;
}

bool Unpacking::WaitFor(std::uint64_t end) {
  if (end <= dataStart_ || workers_ == 0) return result_ == FIO_OK;
  const std::uint64_t rows =
      std::min<std::uint64_t>(rows_, (end - dataStart_ + rowBytes_ - 1) / rowBytes_);
  const std::uint64_t bands = (rows + bandRows_ - 1) / bandRows_;
  for (int k = 0; k < workers_; ++k) {
    const std::uint64_t needed = BandsOf(k, bands);
    for (;;) {
      const std::uint32_t done = shared_->done[k].load(std::memory_order_acquire);
      if (done >= needed) break;
      if (result_ != FIO_OK) return false;
      // A child that has gone without finishing its bands failed; one that lives is
      // waited for until it counts on, and looked at again now and then.
      if (Reap(k, false)) {
        if (shared_->done[k].load(std::memory_order_acquire) >= needed) break;
        if (result_ == FIO_OK) result_ = FIO_ERR_COMPRESSED;
        return false;
      }
      const timespec wait{0, 20 * 1000 * 1000};
      (void)Futex(&shared_->done[k], FUTEX_WAIT, done, &wait);
    }
  }
  return result_ == FIO_OK;
}

int Unpacking::Finish() {
  for (int k = 0; k < workers_; ++k) (void)Reap(k, true);
  return result_;
}

namespace {

// Starts the simple FITS file that unpacking the image in unit hdu of path gives: out at
// its whole length, its header written and its pixels' bytes zeros, to be filled in.
// *layoutOut is the table's, checked; *dataStartOut and *lengthOut place the pixels in out.
int WriteUnpackedHeader(const std::string& path, int hdu, TempFile& out, TileLayout* layoutOut,
                        std::uint64_t* dataStartOut, std::uint64_t* lengthOut) {
  // The table is read and checked here, by our own code: cfitsio divides by the tile and
  // image sizes as it parses the header and allocates what the descriptors claim, so it
  // is given only a table whose numbers hold, and only in the children.
  TileLayout& layout = *layoutOut;
  if (int rc = ReadTileLayout(path, hdu, g_maxImageBytes.load(), &layout)) return rc;
  std::vector<std::string> cards;
  if (ReadUnitCards(path, hdu, &cards) != 0) return FIO_ERR_COMPRESSED;

  const int bitpix = layout.bitpix;
  const int naxis = static_cast<int>(layout.axes.size());
  std::string header = Card("SIMPLE", 0).replace(10, 20, std::string(19, ' ') + "T");
  header += Card("BITPIX", bitpix);
  header += Card("NAXIS", naxis);
  for (int i = 0; i < naxis; ++i)
    header +=
        Card(("NAXIS" + std::to_string(i + 1)).c_str(), layout.axes[static_cast<std::size_t>(i)]);
  for (std::string& card : ImageCards(cards, bitpix)) {
    card.resize(80, ' ');
    header += card;
  }
  std::string end = "END";
  end.resize(80, ' ');
  header += end;
  header.resize((header.size() + 2879) / 2880 * 2880, ' ');
  const std::uint64_t dataStart = header.size();
  // The file at its whole length: the padding is zeros, and the bands go in by place.
  const std::uint64_t length = (dataStart + layout.imageBytes + 2879) / 2880 * 2880;
  if (::ftruncate(out.fd(), 0) != 0 || ::ftruncate(out.fd(), static_cast<off_t>(length)) != 0 ||
      WriteAllAt(out.fd(), header.data(), header.size(), 0) != 0)
    return FIO_ERR_WRITE;
  *dataStartOut = dataStart;
  *lengthOut = length;
  return FIO_OK;
}

}  // namespace

int StartDecompressImage(const std::string& path, int hdu, TempFile& out,
                         std::unique_ptr<Unpacking>* running, bool native) {
  running->reset();
  // Loaded here, before the children are forked; they use it from their copy.
  if (!Cfitsio()) return FIO_ERR_COMPRESSED;
  TileLayout layout;
  std::uint64_t dataStart = 0, length = 0;
  if (int rc = WriteUnpackedHeader(path, hdu, out, &layout, &dataStart, &length)) return rc;
  const int bitpix = layout.bitpix;
  const int naxis = static_cast<int>(layout.axes.size());
  // Shared with the children, which decode into it: the pixels reach the file (in memory
  // when out is) without a copy through a buffer and a write.
  void* map = ::mmap(nullptr, static_cast<std::size_t>(length), PROT_READ | PROT_WRITE, MAP_SHARED,
                     out.fd(), 0);
  if (map == MAP_FAILED) return FIO_ERR_MEMORY;
  auto* data = static_cast<unsigned char*>(map) + dataStart;
  auto unpacking = std::make_unique<Unpacking>();
  Unpacking& u = *unpacking;
  void* shared = ::mmap(nullptr, sizeof(Unpacking::Shared), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) {
    ::munmap(map, static_cast<std::size_t>(length));
    return FIO_ERR_MEMORY;
  }
  u.shared_ = new (shared) Unpacking::Shared{};
  u.native_ = native;

  const long width = static_cast<long>(layout.axes[0]);
  const int pixelBytes = std::abs(bitpix) / 8;
  u.dataStart_ = dataStart;
  u.rowBytes_ = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(pixelBytes);
  u.rows_ = layout.imageBytes / u.rowBytes_;
  // Bands of whole tiles, so that no tile is decoded twice.
  const std::uint64_t tileRows = naxis > 1 ? static_cast<std::uint64_t>(layout.tile[1]) : 1;
  const std::uint64_t wanted = std::max<std::uint64_t>(1, kBand / u.rowBytes_);
  u.bandRows_ = (wanted + tileRows - 1) / tileRows * tileRows;
  const std::uint64_t bands = (u.rows_ + u.bandRows_ - 1) / u.bandRows_;
  // A large image is shared among the processors, each child with a handle of its own.
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const int workers =
      layout.imageBytes < g_parallelUnpackBytes.load()
          ? 1
          : static_cast<int>(std::min<std::uint64_t>({cores, Unpacking::kMaxWorkers, bands}));

  auto work = [&, bands, workers](int k) {
    if (layout.riceRows || layout.gzipRows)
      return DecodeDirectBands(path, layout, k, workers, bands, u.bandRows_, data,
                               &u.shared_->done[k], native);
    int status = 0, type = 0;
    FitsCloser own;
    if (Cfitsio()->open_diskfile(&own.f, path.c_str(), READONLY, &status) ||
        Cfitsio()->movabs_hdu(own.f, hdu + 1, &type, &status) ||
        !Cfitsio()->is_compressed_image(own.f, &status))
      return FIO_ERR_COMPRESSED;
    for (std::uint64_t b = static_cast<std::uint64_t>(k); b < bands;
         b += static_cast<std::uint64_t>(workers)) {
      const auto from = static_cast<long long>(b * u.bandRows_);
      const auto to = static_cast<long long>(std::min(u.rows_, (b + 1) * u.bandRows_));
      if (int rc = DecodeRows(own.f, bitpix, layout.axes, from, to, data, native)) return rc;
      u.shared_->done[k].fetch_add(1, std::memory_order_release);
      (void)Futex(&u.shared_->done[k], FUTEX_WAKE, INT32_MAX, nullptr);
    }
    return FIO_OK;
  };
  for (int k = 0; k < workers; ++k) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) ::signal(sig, SIG_DFL);
      ::_exit(work(k));
    }
    u.pids_[k] = pid;
    u.reaped_[k] = pid < 0;
    ++u.workers_;
    // No process to spare: this share unprotected rather than not at all.
    if (pid < 0)
      if (int rc = work(k); rc != FIO_OK && u.result_ == FIO_OK) u.result_ = rc;
  }
  ::munmap(map, static_cast<std::size_t>(length));
  *running = std::move(unpacking);
  return FIO_OK;
}

int DecompressImageHeader(const std::string& path, int hdu, TempFile& out) {
  TileLayout layout;
  std::uint64_t dataStart = 0, length = 0;
  return WriteUnpackedHeader(path, hdu, out, &layout, &dataStart, &length);
}

int DecompressImage(const std::string& path, int hdu, TempFile& out) {
  std::unique_ptr<Unpacking> running;
  if (int rc = StartDecompressImage(path, hdu, out, &running)) return rc;
  return running->Finish();
}

int GzipFile(const std::string& source, const std::string& target) {
  TempFile packed;
  if (!packed.Create(FolderOf(target))) return FIO_ERR_CREATE;
  int in = -1;
  if (int e = OpenRegularFile(source, in)) return FioOpenCode(e);
  const int dup = ::dup(packed.fd());
  gzFile gz = dup < 0 ? nullptr : gzdopen(dup, "wb6");
  if (!gz) {
    if (dup >= 0) ::close(dup);
    ::close(in);
    return FIO_ERR_MEMORY;
  }
  std::vector<char> buffer(kChunk);
  int rc = FIO_OK;
  for (;;) {
    const ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      rc = FIO_ERR_WRITE;
      break;
    }
    if (got == 0) break;
    if (gzwrite(gz, buffer.data(), static_cast<unsigned>(got)) != static_cast<int>(got)) {
      rc = FIO_ERR_WRITE;
      break;
    }
  }
  ::close(in);
  if (gzclose(gz) != Z_OK && rc == FIO_OK) rc = FIO_ERR_WRITE;
  return rc == FIO_OK ? CommitCopy(packed.path(), target) : rc;
}

int RiceCompressFile(const std::string& source, const std::string& target) {
  const CfitsioApi* lib = Cfitsio();
  if (!lib) return FIO_ERR_COMPRESSED;
  TempFile packed;
  if (!packed.Create(FolderOf(target))) return FIO_ERR_CREATE;
  int status = 0;
  FitsCloser in;
  if (lib->open_diskfile(&in.f, source.c_str(), READONLY, &status)) return FIO_ERR_OPEN;
  FitsCloser out;
  ::unlink(packed.path().c_str());
  if (lib->create_diskfile(&out.f, packed.path().c_str(), &status)) return FIO_ERR_CREATE;
  lib->set_compression_type(out.f, RICE_1, &status);
  if (lib->img_compress(in.f, out.f, &status)) return FIO_ERR_COMPRESSED;
  int units = 0;
  lib->get_num_hdus(in.f, &units, &status);
  for (int k = 2; k <= units && status == 0; ++k) {
    int type = 0;
    if (lib->movabs_hdu(in.f, k, &type, &status) == 0) lib->copy_hdu(in.f, out.f, 0, &status);
  }
  if (status) return FIO_ERR_WRITE;
  lib->close_file(out.f, &status);
  out.f = nullptr;
  if (status) return FIO_ERR_WRITE;
  return CommitCopy(packed.path(), target);
}

}  // namespace fitscomp
