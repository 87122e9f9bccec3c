// gzip through zlib's gz* stream functions; tile compression through cfitsio, whose
// status codes are turned into the file I/O codes here so that nothing above this
// library sees them.
#include "formats/fitscomp/fitscomp.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
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

#include "fits/fileiocodes.h"
#include "fits/fitshdu.h"
#include "formats/fitscomp/cfitsiolib.h"
#include "formats/fitscomp/tilelayout.h"
#include "imagemodel/vmmanager.h"
#include "platform/files.h"
#include "platform/memhints.h"

#if defined(__SANITIZE_ADDRESS__)
#define VANTOREL_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VANTOREL_UNDER_ASAN 1
#endif
#endif

namespace fitscomp {

namespace {

constexpr std::size_t kChunk = 1 << 20;
// Rows are decoded in bands of about this many bytes, small enough to stay in the cache
// while their bytes are turned.
constexpr std::size_t kBand = 256 << 10;
// An image larger than this is refused rather than unpacked.
std::atomic<std::uint64_t> g_maxImageBytes{std::uint64_t{4} << 30};
std::atomic<std::uint64_t> g_parallelUnpackBytes{std::uint64_t{8} << 20};
// 0: an eighth of the pager's budget, at most kInMemoryCap.
std::atomic<std::uint64_t> g_inMemoryLimit{0};
constexpr std::uint64_t kInMemoryCap = std::uint64_t{32} << 20;
std::atomic<std::uint32_t> g_timeFloorMs{UnpackTimeLimit{}.floorMs};
std::atomic<std::uint64_t> g_timeBytesPerMs{UnpackTimeLimit{}.bytesPerMs};
constexpr std::string_view kLeftoverPrefix = ".vtl-fitscomp-";

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

// Decodes image rows [from, to) of the compressed unit that in stands at straight into
// out, the shared mapping of those rows of the unpacked file, a band of rows at a time:
// cfitsio writes the pixels in the machine's order, where they stay when native is asked
// for; otherwise each band is turned big-endian, as FITS data are, while it is still in
// the cache.
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
    unsigned char* at = out + (row - from) * width * bytes;
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

namespace {

std::uint64_t PagerBudget() {
  const CVmManager& pager = CVmManager::Instance();
  return static_cast<std::uint64_t>(std::max(pager.GetSlotCount(), 0)) * pager.GetBlockSize();
}

// Where a temporary file goes when it leaves memory: the pager's swap folder, where the
// pager keeps what does not fit its own budget.
std::string SpillFolder() {
  std::string dir = CVmManager::Instance().GetSwapDirectory();
  if (dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    dir = tmp && *tmp ? tmp : "/var/tmp";
  }
  return dir;
}

// A file without a name in folder (gone with its last descriptor, however the process
// ends), or -1.
int OpenUnnamedFile(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string name = folder + "/" + std::string(kLeftoverPrefix) + "XXXXXX";
  fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(name.c_str());
  return fd;
}

bool CopyRange(int from, int to, std::uint64_t offset, std::uint64_t length) {
  std::vector<char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(length, kChunk)));
  while (length > 0) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer.size()));
    const ssize_t got = ::pread(from, buffer.data(), n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    if (WriteAllAt(to, buffer.data(), static_cast<std::size_t>(got), offset) != 0) return false;
    offset += static_cast<std::uint64_t>(got);
    length -= static_cast<std::uint64_t>(got);
  }
  return true;
}

bool IsLeftoverName(std::string_view name) {
  if (name.size() != kLeftoverPrefix.size() + 6 ||
      name.substr(0, kLeftoverPrefix.size()) != kLeftoverPrefix)
    return false;
  for (char c : name.substr(kLeftoverPrefix.size()))
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  return true;
}

}  // namespace

std::uint64_t InMemoryLimit() {
  if (const std::uint64_t set = g_inMemoryLimit.load()) return set;
  return std::min(PagerBudget() / 8, kInMemoryCap);
}

unsigned long long SetInMemoryLimit(unsigned long long bytes) {
  return g_inMemoryLimit.exchange(bytes);
}

TempFile::~TempFile() {
  if (fd_ >= 0) ::close(fd_);
  if (named_) ::unlink(path_.c_str());
}

bool TempFile::CreateInMemory() {
  int fd = ::memfd_create("vantorel-unpacked", MFD_CLOEXEC);
  inMemory_ = fd >= 0;
  if (fd < 0) fd = OpenUnnamedFile(SpillFolder());
  if (fd < 0) return false;
  fd_ = fd;
  // The name under which this process (and its children, which inherit the descriptor)
  // can open the file again.
  path_ = "/proc/self/fd/" + std::to_string(fd);
  return true;
}

bool TempFile::MoveToDisk() {
  if (fd_ < 0) return false;
  if (!inMemory_) return true;
  const int disk = OpenUnnamedFile(SpillFolder());
  if (disk < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd_, &st) == 0;
  // The data only: the holes (a packed image's data left out) stay holes.
  const auto length = static_cast<std::uint64_t>(st.st_size);
  for (std::uint64_t at = 0; ok && at < length;) {
    off_t data = ::lseek(fd_, static_cast<off_t>(at), SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;  // nothing but a hole to the end
    if (data < 0) data = static_cast<off_t>(at);
    off_t hole = ::lseek(fd_, data, SEEK_HOLE);
    if (hole < 0) hole = static_cast<off_t>(length);
    ok = CopyRange(fd_, disk, static_cast<std::uint64_t>(data),
                   static_cast<std::uint64_t>(hole - data));
    at = static_cast<std::uint64_t>(hole);
  }
  // The same descriptor, so that the same path now opens the file on disk.
  ok = ok && ::ftruncate(disk, st.st_size) == 0 && ::dup3(disk, fd_, O_CLOEXEC) >= 0;
  ::close(disk);
  if (ok) inMemory_ = false;
  return ok;
}

bool TempFile::Reserve(std::uint64_t bytes) {
  if (!inMemory_ || bytes <= InMemoryLimit()) return true;
  return MoveToDisk() || bytes <= PagerBudget() / 2;
}

bool TempFile::Create(const std::string& folder) {
  std::string dir = folder;
  if (dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    dir = tmp && *tmp ? tmp : "/tmp";
  }
  std::string name = dir + "/" + std::string(kLeftoverPrefix) + "XXXXXX";
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  // Held while the object lives: RemoveLeftoverPackFiles passes a locked file by.
  while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
  fd_ = fd;
  path_ = name;
  named_ = true;
  return true;
}

void RemoveLeftoverPackFiles(const std::string& folder) {
  DIR* d = ::opendir(folder.c_str());
  if (!d) return;
  const int dfd = ::dirfd(d);
  const uid_t me = ::geteuid();
  while (dirent* e = ::readdir(d)) {
    if ((e->d_type != DT_REG && e->d_type != DT_UNKNOWN) || !IsLeftoverName(e->d_name)) continue;
    // Without following links or blocking, as a plain save's sweep opens its leftovers.
    const int fd = ::openat(dfd, e->d_name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {
    }, now{};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == me &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        ::fstatat(dfd, e->d_name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == st.st_dev &&
        now.st_ino == st.st_ino)
      ::unlinkat(dfd, e->d_name, 0);
    ::close(fd);
  }
  ::closedir(d);
}

UnpackTimeLimit SetUnpackTimeLimit(const UnpackTimeLimit& limit) {
  UnpackTimeLimit previous;
  previous.floorMs = g_timeFloorMs.exchange(limit.floorMs);
  previous.bytesPerMs = g_timeBytesPerMs.exchange(std::max<std::uint64_t>(limit.bytesPerMs, 1));
  return previous;
}

std::uint64_t UnpackTimeLimitMs(std::uint64_t imageBytes, std::uint64_t compressedBytes) {
  const std::uint64_t bytes = imageBytes + compressedBytes;
  return g_timeFloorMs.load() + bytes / std::max<std::uint64_t>(g_timeBytesPerMs.load(), 1);
}

// ---- unpacking in children

// cfitsio decodes one tile at a time on one core, and its tile decoders trust the tile
// bytes and can read or write out of bounds on a damaged tile, which must cost the file,
// not the program: the decoding runs in child processes, side by side. The image's rows
// are dealt out in bands, band b to child b mod n, so that every child works near the
// reader, which reads the file from its start. Each child counts its finished bands in a
// shared page and wakes the reader; it reports its code as its exit status, and one that
// dies of a signal had a damaged tile. Some damaged tiles make cfitsio spin instead: a
// child still at work when the unpacking's time is up is killed and counts as damaged.
// No child outlives the process that forked it.
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

// A band of rows of the unpacked file mapped for writing, one at a time: a child holds at
// most one band of the file in its memory, whatever the file's size (a file on disk would
// otherwise count in full among the child's resident pages).
class BandWindow {
 public:
  BandWindow(int fd, std::uint64_t dataStart, std::uint64_t rowBytes)
      : fd_(fd), dataStart_(dataStart), rowBytes_(rowBytes) {}
  ~BandWindow() { Unmap(); }
  BandWindow(const BandWindow&) = delete;
  BandWindow& operator=(const BandWindow&) = delete;
  // Row from of rows [from, to) of the image, mapped; null when the mapping fails.
  unsigned char* Map(std::uint64_t from, std::uint64_t to) {
    Unmap();
    static const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t begin = dataStart_ + from * rowBytes_, end = dataStart_ + to * rowBytes_;
    const std::uint64_t at = begin / page * page;
    void* p = ::mmap(nullptr, static_cast<std::size_t>(end - at), PROT_READ | PROT_WRITE,
                     MAP_SHARED, fd_, static_cast<off_t>(at));
    if (p == MAP_FAILED) return nullptr;
    base_ = p;
    length_ = static_cast<std::size_t>(end - at);
    return static_cast<unsigned char*>(p) + (begin - at);
  }

 private:
  void Unmap() {
    if (base_) ::munmap(base_, length_);
    base_ = nullptr;
  }
  int fd_;
  std::uint64_t dataStart_, rowBytes_;
  void* base_ = nullptr;
  std::size_t length_ = 0;
};

// Decodes image rows [from, to) (whole tiles) of an image of integer rows compressed with
// RICE (see TileLayout::riceRows) or gzip (TileLayout::gzipRows) from the file's heap
// (fd) straight into band, the mapping of those rows, with cfitsio's RICE decoder or zlib,
// tile by tile, without the rest of cfitsio's tile machinery. The RICE decoder gives the
// machine's byte order, the gzip tiles FITS's: the band is turned to the order asked for
// where they differ.
int DecodeDirectBand(int fd, const TileLayout& layout, std::uint64_t from, std::uint64_t to,
                     unsigned char* band, bool native, std::vector<unsigned char>& packed,
                     std::vector<unsigned char>& scratch) {
  const auto width = static_cast<std::uint64_t>(layout.axes[0]);
  const auto tileRows = static_cast<std::uint64_t>(layout.tile.size() > 1 ? layout.tile[1] : 1);
  const std::uint64_t rowBytes = width * static_cast<std::uint64_t>(layout.bytePix);
  const std::uint64_t rows = layout.imageBytes / rowBytes;
  PrefaultForWrite(band, (to - from) * rowBytes);
  for (std::uint64_t t = from / tileRows; t * tileRows < to; ++t) {
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
    if (got != packed.size()) return FIO_ERR_COMPRESSED;
    unsigned char* out = band + (t * tileRows - from) * rowBytes;
    const std::uint64_t pixels = std::min(tileRows, rows - t * tileRows) * width;
    const int n = static_cast<int>(pixels);
    const int clen = static_cast<int>(length);
    int bad = 0;
    if (layout.gzipRows)
      bad = InflateTile(packed.data(), packed.size(), pixels, layout.gzipRows == 2, out, scratch)
                ? 0
                : 1;
    else if (layout.bytePix == 1)
      bad = Cfitsio()->rdecomp_byte(packed.data(), clen, out, n, layout.blockSize);
    else if (layout.bytePix == 2)
      bad = Cfitsio()->rdecomp_short(packed.data(), clen, reinterpret_cast<unsigned short*>(out), n,
                                     layout.blockSize);
    else
      bad = Cfitsio()->rdecomp(packed.data(), clen, reinterpret_cast<unsigned int*>(out), n,
                               layout.blockSize);
    if (bad) return FIO_ERR_COMPRESSED;
  }
  if constexpr (std::endian::native == std::endian::little)
    if (native != (layout.gzipRows == 0))
      SwapToBigEndian(band, layout.bytePix, static_cast<std::size_t>((to - from) * width));
  return FIO_OK;
}

int CodeOfStatus(int status) {
  if (!WIFEXITED(status)) return FIO_ERR_COMPRESSED;
  const int code = WEXITSTATUS(status);
  return code == FIO_OK || code == FIO_ERR_WRITE || code == FIO_ERR_MEMORY ? code
                                                                           : FIO_ERR_COMPRESSED;
}

std::int64_t NowNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The child's share of address space beyond what it inherited: room for cfitsio's tile
// buffers (a few of the largest tile, decompressed and not), a band of the file mapped,
// and the decoder's own needs. A decoder that a damaged tile sends allocating without end
// (cfitsio's gzip tile reader grows its buffer for a stream that never ends) runs out of
// it and dies, rather than take the machine's memory until its time runs out.
std::uint64_t ChildAllowance(const TileLayout& layout, std::uint64_t bandBytes) {
  std::uint64_t bytes =
      (std::uint64_t{64} << 20) + 4 * layout.tileBytes + 2 * layout.largestTile + bandBytes;
#if defined(VANTOREL_UNDER_ASAN)
  // AddressSanitizer holds freed blocks back (its quarantine, 256 MiB unless ASAN_OPTIONS
  // sets quarantine_size_mb) before their memory is reused: a child that frees a tile's
  // buffers tile after tile needs that much more address space.
  std::uint64_t quarantineMb = 256;
  if (const char* options = std::getenv("ASAN_OPTIONS"))
    if (const char* at = std::strstr(options, "quarantine_size_mb="))
      quarantineMb = std::strtoull(at + std::strlen("quarantine_size_mb="), nullptr, 10);
  bytes += (quarantineMb + 64) << 20;
#endif
  return bytes;
}

// Reads the first number of /proc/self/statm (the address space in pages) without the
// C library's buffered files: the caller is a child forked from a process with threads.
std::uint64_t AddressSpaceBytes() {
  const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[64];
  const ssize_t n = ::read(fd, text, sizeof text);
  ::close(fd);
  std::uint64_t pages = 0;
  for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i)
    pages = pages * 10 + static_cast<std::uint64_t>(text[i] - '0');
  return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

// What a decoding child does first. It dies with the process that forked it (a program
// killed outright must not leave a child spinning in a damaged tile); the parent may have
// gone already between the fork and the request. It takes the default action of the
// signals the parent handles (a crash of its own is a damaged tile, and the parent's
// save cleanup is not the child's to run), and it may map no more than allowance bytes
// beyond what it inherited.
void EnterChild(pid_t parent, std::uint64_t allowance) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(FIO_ERR_COMPRESSED);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) ::signal(sig, SIG_DFL);
  // Signals the parent ignores stay ignored.
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    struct sigaction now {};
    if (::sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_IGN) ::signal(sig, SIG_DFL);
  }
  if (const std::uint64_t inherited = AddressSpaceBytes()) {
    const rlimit limit{inherited + allowance, inherited + allowance};
    (void)::setrlimit(RLIMIT_AS, &limit);
  }
}

}  // namespace

Unpacking::Unpacking() = default;

Unpacking::~Unpacking() {
  // Children whose file nobody reads any more are stopped rather than waited for.
  for (int k = 0; k < workers_; ++k)
    if (!reaped_[k]) ::kill(pids_[k], SIGKILL);
  for (int k = 0; k < workers_; ++k) (void)Reap(k, true);
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
  if (pidfds_[k] >= 0) ::close(pidfds_[k]);
  pidfds_[k] = -1;
  const int code = got < 0 ? FIO_ERR_COMPRESSED : CodeOfStatus(status);
  if (result_ == FIO_OK) result_ = code;
  return true;
}

bool Unpacking::StopWhenOverdue() {
  if (NowNs() < deadlineNs_) return false;
  bool running = false;
  for (int k = 0; k < workers_; ++k)
    if (!reaped_[k]) {
      ::kill(pids_[k], SIGKILL);
      running = true;
    }
  if (!running) return false;
  // Caught in a damaged tile: the file is damaged, whatever the child would have said.
  timedOut_ = true;
  if (result_ == FIO_OK) result_ = FIO_ERR_COMPRESSED;
  for (int k = 0; k < workers_; ++k) (void)Reap(k, true);
  return true;
}

void Unpacking::AwaitChildren() {
  const std::int64_t left = deadlineNs_ - NowNs();
  if (left <= 0) return;
  // A child's pidfd becomes readable when it ends; without them, a short sleep.
  pollfd fds[kMaxWorkers];
  int n = 0;
  bool all = true;
  for (int k = 0; k < workers_; ++k) {
    if (reaped_[k]) continue;
    if (pidfds_[k] < 0)
      all = false;
    else
      fds[n++] = pollfd{pidfds_[k], POLLIN, 0};
  }
  const int ms = static_cast<int>(std::min<std::int64_t>(left / 1000000 + 1, all ? 200 : 2));
  if (n > 0 && all) {
    (void)::poll(fds, static_cast<nfds_t>(n), ms);
  } else {
    const timespec pause{0, static_cast<long>(ms) * 1000000};
    (void)::nanosleep(&pause, nullptr);
  }
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
      // waited for until it counts on, and looked at again now and then, until its time
      // is up.
      if (Reap(k, false)) {
        if (shared_->done[k].load(std::memory_order_acquire) >= needed) break;
        if (result_ == FIO_OK) result_ = FIO_ERR_COMPRESSED;
        return false;
      }
      if (StopWhenOverdue()) return false;
      const timespec wait{0, 20 * 1000 * 1000};
      (void)Futex(&shared_->done[k], FUTEX_WAIT, done, &wait);
    }
  }
  return result_ == FIO_OK;
}

int Unpacking::Finish() {
  for (;;) {
    bool running = false;
    for (int k = 0; k < workers_; ++k)
      if (!Reap(k, false)) running = true;
    if (!running || StopWhenOverdue()) return result_;
    AwaitChildren();
  }
}

namespace {

// Starts the simple FITS file that unpacking the image in unit hdu of path gives: out at
// its whole length, its header written and its pixels' bytes zeros, to be filled in.
// *layoutOut is the table's, checked; *dataStartOut and *lengthOut place the pixels in out.
// A file that would hold more than memory should goes to disk first.
int WriteUnpackedHeader(const std::string& path, int hdu, TempFile& out, TileLayout* layoutOut,
                        std::uint64_t* dataStartOut, std::uint64_t* lengthOut, bool withPixels) {
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
  if (withPixels && !out.Reserve(length)) return FIO_ERR_MEMORY;
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
  if (int rc = WriteUnpackedHeader(path, hdu, out, &layout, &dataStart, &length, true)) return rc;
  const int bitpix = layout.bitpix;
  const int naxis = static_cast<int>(layout.axes.size());
  auto unpacking = std::make_unique<Unpacking>();
  Unpacking& u = *unpacking;
  void* shared = ::mmap(nullptr, sizeof(Unpacking::Shared), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return FIO_ERR_MEMORY;
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
  const std::uint64_t allowance = ChildAllowance(layout, u.bandRows_ * u.rowBytes_);
  u.deadlineNs_ = NowNs() + static_cast<std::int64_t>(std::min<std::uint64_t>(
                                UnpackTimeLimitMs(layout.imageBytes, layout.storedBytes),
                                INT64_MAX / 2000000)) *
                                1000000;

  // One child's share: bands k, k + workers, ...; each band counted done in the shared
  // page as it is finished, and the reader woken.
  auto work = [&, bands, workers](int k) {
    BandWindow window(out.fd(), u.dataStart_, u.rowBytes_);
    std::atomic<std::uint32_t>* done = &u.shared_->done[k];
    auto finished = [done] {
      done->fetch_add(1, std::memory_order_release);
      (void)Futex(done, FUTEX_WAKE, INT32_MAX, nullptr);
    };
    if (layout.riceRows || layout.gzipRows) {
      int fd = -1;
      if (OpenRegularFile(path, fd) != 0) return FIO_ERR_COMPRESSED;
      std::vector<unsigned char> packed, scratch;
      for (std::uint64_t b = static_cast<std::uint64_t>(k); b < bands;
           b += static_cast<std::uint64_t>(workers)) {
        const std::uint64_t from = b * u.bandRows_, to = std::min(u.rows_, (b + 1) * u.bandRows_);
        unsigned char* band = window.Map(from, to);
        const int rc = band ? DecodeDirectBand(fd, layout, from, to, band, native, packed, scratch)
                            : FIO_ERR_MEMORY;
        if (rc != FIO_OK) {
          ::close(fd);
          return rc;
        }
        finished();
      }
      ::close(fd);
      return FIO_OK;
    }
    int status = 0, type = 0;
    FitsCloser own;
    if (Cfitsio()->open_diskfile(&own.f, path.c_str(), READONLY, &status) ||
        Cfitsio()->movabs_hdu(own.f, hdu + 1, &type, &status) ||
        !Cfitsio()->is_compressed_image(own.f, &status))
      return FIO_ERR_COMPRESSED;
    for (std::uint64_t b = static_cast<std::uint64_t>(k); b < bands;
         b += static_cast<std::uint64_t>(workers)) {
      const std::uint64_t from = b * u.bandRows_, to = std::min(u.rows_, (b + 1) * u.bandRows_);
      unsigned char* band = window.Map(from, to);
      if (!band) return FIO_ERR_MEMORY;
      if (int rc = DecodeRows(own.f, bitpix, layout.axes, static_cast<long long>(from),
                              static_cast<long long>(to), band, native))
        return rc;
      finished();
    }
    return FIO_OK;
  };
  const pid_t parent = ::getpid();
  for (int k = 0; k < workers; ++k) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      EnterChild(parent, allowance);
      ::_exit(work(k));
    }
    // No process to spare: a damaged tile must never be decoded in this one, so the
    // image is not unpacked at all (the children started are stopped with u).
    if (pid < 0) return FIO_ERR_MEMORY;
    u.pids_[k] = pid;
#ifdef SYS_pidfd_open
    u.pidfds_[k] = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#endif
    ++u.workers_;
  }
  *running = std::move(unpacking);
  return FIO_OK;
}

int DecompressImageHeader(const std::string& path, int hdu, TempFile& out) {
  TileLayout layout;
  std::uint64_t dataStart = 0, length = 0;
  return WriteUnpackedHeader(path, hdu, out, &layout, &dataStart, &length, false);
}

int DecompressImage(const std::string& path, int hdu, TempFile& out) {
  std::unique_ptr<Unpacking> running;
  if (int rc = StartDecompressImage(path, hdu, out, &running)) return rc;
  return running->Finish();
}

int GzipFile(const std::string& source, const std::string& target) {
  RemoveLeftoverPackFiles(DirectoryOf(target));
  int in = -1;
  if (int e = OpenRegularFile(source, in)) return FioOpenCode(e);
  // Packed straight into the target's temporary, as a plain save writes its file.
  AtomicFile packed;
  if (int e = packed.Open(target)) {
    ::close(in);
    return FioCreateCode(e);
  }
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
  if (rc == FIO_OK && packed.Commit() != 0) rc = FIO_ERR_WRITE;
  return rc;
}

int RiceCompressFile(const std::string& source, const std::string& target) {
  const CfitsioApi* lib = Cfitsio();
  if (!lib) return FIO_ERR_COMPRESSED;
  RemoveLeftoverPackFiles(DirectoryOf(target));
  int status = 0;
  FitsCloser in;
  if (lib->open_diskfile(&in.f, source.c_str(), READONLY, &status)) return FIO_ERR_OPEN;
  // cfitsio creates no file that exists, and one it created under the temporary's name
  // would not be the file that the temporary's lock holds: it is given the temporary
  // with a primary unit already in it, and appends the compressed image.
  AtomicFile packed;
  if (int e = packed.Open(target)) return FioCreateCode(e);
  std::string primary = Card("SIMPLE", 0).replace(10, 20, std::string(19, ' ') + "T");
  primary += Card("BITPIX", 8) + Card("NAXIS", 0);
  primary += Card("EXTEND", 0).replace(10, 20, std::string(19, ' ') + "T");
  primary += std::string("END").append(77, ' ');
  primary.resize(2880, ' ');
  if (packed.Write(primary.data(), primary.size()) != 0) return FIO_ERR_WRITE;
  FitsCloser out;
  if (lib->open_diskfile(&out.f, packed.temp_path().c_str(), READWRITE, &status))
    return FIO_ERR_CREATE;
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
  return packed.Commit() == 0 ? FIO_OK : FIO_ERR_WRITE;
}

}  // namespace fitscomp
