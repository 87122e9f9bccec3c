// gzip through zlib's gz* stream functions; tile compression through cfitsio, whose
// status codes are turned into the file I/O codes here so that nothing above this
// library sees them.
#include "formats/fitscomp/fitscomp.h"

#include <fcntl.h>
#include <fitsio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "formats/fio/fileiocodes.h"
#include "platform/files.h"

namespace fitscomp {

namespace {

constexpr std::size_t kChunk = 1 << 20;
// An image larger than this is refused rather than unpacked.
std::atomic<std::uint64_t> g_maxImageBytes{std::uint64_t{4} << 30};
std::atomic<std::uint64_t> g_parallelUnpackBytes{std::uint64_t{8} << 20};

bool WriteAll(int fd, const void* data, std::size_t n) {
  const auto* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t put = ::write(fd, p, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    n -= static_cast<std::size_t>(put);
  }
  return true;
}

struct FitsCloser {
  fitsfile* f = nullptr;
  ~FitsCloser() {
    int status = 0;
    if (f) fits_close_file(f, &status);
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

// Whether a card of the compressed unit's table header only describes the table or the
// compression, and so has no place in the image's header.
bool IsTableCard(const std::string& key) {
  static const char* const kExact[] = {"XTENSION", "BITPIX",  "NAXIS", "PCOUNT",
                                       "GCOUNT",   "TFIELDS", "THEAP", "EXTEND",
                                       "CHECKSUM", "DATASUM", "END",   "SIMPLE"};
  for (const char* k : kExact)
    if (key == k) return true;
  if (key.rfind("NAXIS", 0) == 0) return true;
  static const char* const kPrefixes[] = {"TTYPE", "TFORM", "TUNIT", "TDIM",
                                          "TSCAL", "TZERO", "TNULL", "TDISP"};
  for (const char* k : kPrefixes) {
    const std::size_t n = std::strlen(k);
    if (key.size() > n && key.compare(0, n, k) == 0 &&
        key.find_first_not_of("0123456789", n) == std::string::npos)
      return true;
  }
  // The compression's own keywords; ZBLANK becomes BLANK below.
  return key.size() > 1 && key[0] == 'Z';
}

std::string Card(const char* key, long long value) {
  char card[81];
  std::snprintf(card, sizeof card, "%-8.8s= %20lld", key, value);
  std::string text(card);
  text.resize(80, ' ');
  return text;
}

// Writes the header of a simple FITS file for the image of the compressed unit that in
// stands at: rebuilt from the table's (the image's own keywords, ZBLANK as BLANK).
// *dataStart receives where the pixels go.
int WriteUnpackedHeader(fitsfile* in, int bitpix, int naxis, const long* axes, TempFile& out,
                        std::uint64_t* dataStart) {
  int status = 0;
  std::string header;
  header += Card("SIMPLE", 0).replace(10, 20, std::string(19, ' ') + "T");
  header += Card("BITPIX", bitpix);
  header += Card("NAXIS", naxis);
  for (int i = 0; i < naxis; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "NAXIS%d", i + 1);
    header += Card(key, axes[i]);
  }
  int keys = 0, more = 0;
  if (fits_get_hdrspace(in, &keys, &more, &status)) return FIO_ERR_COMPRESSED;
  for (int k = 1; k <= keys; ++k) {
    char record[FLEN_CARD] = {0};
    if (fits_read_record(in, k, record, &status)) return FIO_ERR_COMPRESSED;
    std::string card(record);
    card.resize(80, ' ');
    std::string key = card.substr(0, 8);
    key.erase(key.find_last_not_of(' ') + 1);
    if (key == "ZBLANK" && bitpix > 0) {
      header += "BLANK   " + card.substr(8);
      continue;
    }
    if (IsTableCard(key)) continue;
    header += card;
  }
  std::string end = "END";
  end.resize(80, ' ');
  header += end;
  header.resize((header.size() + 2879) / 2880 * 2880, ' ');
  if (::ftruncate(out.fd(), 0) != 0 || ::lseek(out.fd(), 0, SEEK_SET) != 0 ||
      !WriteAll(out.fd(), header.data(), header.size()))
    return FIO_ERR_WRITE;
  *dataStart = header.size();
  return FIO_OK;
}

// Writes image rows [from, to) of the compressed unit that in stands at into fd behind
// dataStart, as stored (big-endian), read through cfitsio a band of rows at a time.
int WriteUnpackedRows(fitsfile* in, int bitpix, long width, long long from, long long to, int fd,
                      std::uint64_t dataStart) {
  int status = 0;
  // Integers come as stored (no scaling, blank values as they are); quantised reals come
  // as reals, their blank pixels as NaN.
  if (fits_set_bscale(in, 1.0, 0.0, &status)) return FIO_ERR_COMPRESSED;
  const int bytes = std::abs(bitpix) / 8;
  const long long band = std::max<long long>(1, static_cast<long long>(kChunk) / (width * bytes));
  std::vector<unsigned char> buffer(
      static_cast<std::size_t>(std::min(band, std::max(1LL, to - from)) * width * bytes));
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
  for (long long row = from; row < to; row += band) {
    const long long n = std::min(band, to - row);
    const long long count = n * width;
    int anyNull = 0;
    if (fits_read_img(in, type, row * width + 1, count, null, buffer.data(), &anyNull, &status))
      return status == MEMORY_ALLOCATION ? FIO_ERR_MEMORY : FIO_ERR_COMPRESSED;
    // FITS data are big-endian.
    if (bytes > 1)
      for (long long i = 0; i < count; ++i)
        std::reverse(buffer.data() + i * bytes, buffer.data() + (i + 1) * bytes);
    const std::size_t size = static_cast<std::size_t>(count * bytes);
    const std::uint64_t at = dataStart + static_cast<std::uint64_t>(row * width * bytes);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t put =
          ::pwrite(fd, buffer.data() + done, size - done, static_cast<off_t>(at + done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return FIO_ERR_WRITE;
      done += static_cast<std::size_t>(put);
    }
  }
  return FIO_OK;
}

// Runs the decompression in child processes, work(k) for k below workers, side by side:
// cfitsio decodes one tile at a time on one core, and its tile decoders trust the tile
// bytes and can read or write out of bounds on a damaged tile, which must cost the file,
// not the program. Each child writes its part into the shared temporary and reports its
// code as its exit status; a child that dies of a signal had a damaged tile.
template <typename F>
int Isolated(int workers, F&& work) {
  std::vector<pid_t> children;
  int result = FIO_OK;
  for (int k = 0; k < workers; ++k) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) ::signal(sig, SIG_DFL);
      ::_exit(work(k));
    }
    if (pid > 0) {
      children.push_back(pid);
    } else if (int rc = work(k)) {  // no process to spare: unprotected rather than not at all
      result = rc;
    }
  }
  for (pid_t pid : children) {
    int status = 0;
    int code = FIO_ERR_COMPRESSED;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
      code = WEXITSTATUS(status);
      if (code != FIO_OK && code != FIO_ERR_WRITE && code != FIO_ERR_MEMORY)
        code = FIO_ERR_COMPRESSED;
    }
    if (result == FIO_OK) result = code;
  }
  return result;
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
  if (!path_.empty()) ::unlink(path_.c_str());
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

int Gunzip(const std::string& path, TempFile& out, unsigned long long limitBytes) {
  int fd = -1;
  if (int e = OpenRegularFile(path, fd)) return FioOpenCode(e);
  gzFile gz = gzdopen(fd, "rb");
  if (!gz) {
    ::close(fd);
    return FIO_ERR_MEMORY;
  }
  gzbuffer(gz, 256 * 1024);
  if (::ftruncate(out.fd(), 0) != 0 || ::lseek(out.fd(), 0, SEEK_SET) != 0) {
    gzclose(gz);
    return FIO_ERR_WRITE;
  }
  if (gzdirect(gz)) {
    gzclose(gz);
    return FIO_ERR_COMPRESSED;
  }
  std::vector<char> buffer(kChunk);
  unsigned long long total = 0;
  int rc = FIO_OK;
  for (;;) {
    const int got = gzread(gz, buffer.data(), static_cast<unsigned>(buffer.size()));
    if (got < 0) {
      rc = FIO_ERR_COMPRESSED;
      break;
    }
    if (got == 0) {
      // zlib ends a stream cut short without an error from gzread; gzerror tells.
      int err = Z_OK;
      gzerror(gz, &err);
      if (err != Z_OK && err != Z_STREAM_END) rc = FIO_ERR_COMPRESSED;
      break;
    }
    total += static_cast<unsigned long long>(got);
    if (limitBytes && total > limitBytes) {
      rc = FIO_ERR_FORMAT;
      break;
    }
    if (!WriteAll(out.fd(), buffer.data(), static_cast<std::size_t>(got))) {
      rc = FIO_ERR_WRITE;
      break;
    }
  }
  const int closed = gzclose(gz);
  if (rc == FIO_OK && closed != Z_OK) rc = FIO_ERR_COMPRESSED;
  if (rc == FIO_OK && total == 0) rc = FIO_ERR_COMPRESSED;
  return rc;
}

int DecompressImage(const std::string& path, int hdu, TempFile& out) {
  // cfitsio parses the table's header when it moves to the unit, and divides by the tile
  // and image sizes there before any check of ours can run: a zero ZTILEn or ZNAXISn
  // stops the process. Let a child parse it first, so such a header costs the file.
  if (Isolated(1, [&](int) {
        int st = 0, t = 0;
        FitsCloser probe;
        if (fits_open_diskfile(&probe.f, path.c_str(), READONLY, &st) ||
            fits_movabs_hdu(probe.f, hdu + 1, &t, &st) || !fits_is_compressed_image(probe.f, &st))
          return FIO_ERR_COMPRESSED;
        return FIO_OK;
      }) != FIO_OK)
    return FIO_ERR_COMPRESSED;
  int status = 0;
  FitsCloser in;
  if (fits_open_diskfile(&in.f, path.c_str(), READONLY, &status)) return FIO_ERR_OPEN;
  int type = 0;
  if (fits_movabs_hdu(in.f, hdu + 1, &type, &status) || !fits_is_compressed_image(in.f, &status))
    return FIO_ERR_COMPRESSED;
  // The table must describe the image it claims: the tiles ZTILEn cut ZNAXISn into must be
  // its rows, and the image must be of a size that can be held.
  int bitpix = 0, naxis = 0;
  long axes[3] = {0, 0, 0};
  if (fits_get_img_param(in.f, 3, &bitpix, &naxis, axes, &status) || naxis < 1 || naxis > 3)
    return FIO_ERR_COMPRESSED;
  std::uint64_t tiles = 1, pixels = 1;
  for (int i = 0; i < naxis; ++i) {
    if (axes[i] <= 0) return FIO_ERR_COMPRESSED;
    long tile = i == 0 ? axes[0] : 1;
    char key[FLEN_KEYWORD];
    std::snprintf(key, sizeof key, "ZTILE%d", i + 1);
    int keyStatus = 0;
    long given = 0;
    if (fits_read_key(in.f, TLONG, key, &given, nullptr, &keyStatus) == 0) tile = given;
    if (tile <= 0) return FIO_ERR_COMPRESSED;
    const auto n = static_cast<std::uint64_t>(axes[i]);
    tiles *= (n + static_cast<std::uint64_t>(tile) - 1) / static_cast<std::uint64_t>(tile);
    if (__builtin_mul_overflow(pixels, n, &pixels)) return FIO_ERR_COMPRESSED;
  }
  long tableRows = 0;
  if (fits_read_key(in.f, TLONG, "NAXIS2", &tableRows, nullptr, &status) ||
      static_cast<std::uint64_t>(tableRows) != tiles)
    return FIO_ERR_COMPRESSED;
  std::uint64_t bytes = 0;
  if (__builtin_mul_overflow(pixels, static_cast<std::uint64_t>(std::abs(bitpix) / 8), &bytes) ||
      bytes > g_maxImageBytes.load())
    return FIO_ERR_COMPRESSED;

  std::uint64_t dataStart = 0;
  if (int rc = WriteUnpackedHeader(in.f, bitpix, naxis, axes, out, &dataStart)) return rc;
  // The file at its whole length: the padding is zeros, and the parts go in by place.
  const std::uint64_t end = (dataStart + bytes + 2879) / 2880 * 2880;
  if (::ftruncate(out.fd(), static_cast<off_t>(end)) != 0) return FIO_ERR_WRITE;
  const long long rows = static_cast<long long>(pixels / static_cast<std::uint64_t>(axes[0]));
  // A large image is shared among the processors, each child with a handle of its own.
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const int workers = bytes < g_parallelUnpackBytes.load()
                          ? 1
                          : static_cast<int>(std::min<long long>({cores, 8, rows}));
  return Isolated(workers, [&](int k) {
    const long long from = rows * k / workers, to = rows * (k + 1) / workers;
    if (workers == 1)
      return WriteUnpackedRows(in.f, bitpix, axes[0], from, to, out.fd(), dataStart);
    int status = 0, type = 0;
    FitsCloser own;
    if (fits_open_diskfile(&own.f, path.c_str(), READONLY, &status) ||
        fits_movabs_hdu(own.f, hdu + 1, &type, &status))
      return FIO_ERR_COMPRESSED;
    return WriteUnpackedRows(own.f, bitpix, axes[0], from, to, out.fd(), dataStart);
  });
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
  TempFile packed;
  if (!packed.Create(FolderOf(target))) return FIO_ERR_CREATE;
  int status = 0;
  FitsCloser in;
  if (fits_open_diskfile(&in.f, source.c_str(), READONLY, &status)) return FIO_ERR_OPEN;
  FitsCloser out;
  ::unlink(packed.path().c_str());
  if (fits_create_diskfile(&out.f, packed.path().c_str(), &status)) return FIO_ERR_CREATE;
  fits_set_compression_type(out.f, RICE_1, &status);
  if (fits_img_compress(in.f, out.f, &status)) return FIO_ERR_COMPRESSED;
  int units = 0;
  fits_get_num_hdus(in.f, &units, &status);
  for (int k = 2; k <= units && status == 0; ++k) {
    int type = 0;
    if (fits_movabs_hdu(in.f, k, &type, &status) == 0) fits_copy_hdu(in.f, out.f, 0, &status);
  }
  if (status) return FIO_ERR_WRITE;
  fits_close_file(out.f, &status);
  out.f = nullptr;
  if (status) return FIO_ERR_WRITE;
  return CommitCopy(packed.path(), target);
}

}  // namespace fitscomp
