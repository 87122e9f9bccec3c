// Compressed FITS files. A whole file compressed with gzip is unpacked by streaming it
// through zlib (see gzipstream.h: its image's data go straight to the reader); a
// tile-compressed image (a binary table with ZIMAGE = T) is unpacked by cfitsio, in child
// processes that decode straight into a shared simple FITS file, held in memory while it is
// small (TempFile::CreateInMemory) and on disk beside the pager's swap file when it is not.
// Children run under a time and a memory limit and die with the process. Saving goes the
// other way: a FITS file written by the system is packed whole with gzip, or its image
// tile-compressed with RICE.
// Every function returns a file I/O code (fits/fileiocodes.h).
#pragma once

#include <sys/types.h>
#include <cstdint>
#include <memory>
#include <string>

namespace fitscomp {

// Whether the file starts with the gzip signature. False when it cannot be read.
bool IsGzipFile(const std::string& path);

// A temporary file, removed when the object goes. One in memory (a memfd) is no file of the
// disk's and leaves nothing behind however the process ends; it holds at most
// InMemoryLimit() bytes and moves to disk when it is to hold more (Reserve).
class TempFile {
 public:
  TempFile() = default;
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  // Creates a named file ".vtl-fitscomp-XXXXXX" in folder (empty: $TMPDIR, or /tmp) and
  // holds an exclusive flock on it while it lives, so that a sweep of leftovers
  // (RemoveLeftoverPackFiles) passes it by; a file that a save renames into its place is
  // not under that lock. False when it cannot be made.
  bool Create(const std::string& folder = {});
  // Creates the file in memory (memfd), so that nothing goes through a disk; falls back
  // to an unnamed file on disk (MoveToDisk's) where memory files are not to be had. Its
  // path opens it from this process and its children only.
  bool CreateInMemory();
  // Moves a file in memory, with what it holds (its holes stay holes), to an unnamed file
  // in the pager's swap folder under the same descriptor and path: its bytes then take
  // page cache that the system can write out rather than memory. True when the file is
  // on disk, now or already. Nothing may have it mapped or open by path meanwhile.
  bool MoveToDisk();
  // Makes room for the file to hold `bytes` bytes of data: a file in memory that would
  // hold more than InMemoryLimit() moves to disk first. False when it must move and
  // cannot, and the bytes are more than half the pager's budget.
  bool Reserve(std::uint64_t bytes);
  bool inMemory() const { return inMemory_; }
  const std::string& path() const { return path_; }
  int fd() const { return fd_; }

 private:
  std::string path_;
  int fd_ = -1;
  bool inMemory_ = false;
  bool named_ = false;  // path_ is a name in a folder, removed with the object
};

// How many bytes a temporary file may hold in memory: an eighth of the pager's memory
// budget, and no more than 32 MiB, so that an unpacked file and the pager's image of it
// stay within the budget and a little more. SetInMemoryLimit changes it (0: back to that
// rule) and returns the previous setting.
std::uint64_t InMemoryLimit();
unsigned long long SetInMemoryLimit(unsigned long long bytes);

// Removes the ".vtl-fitscomp-XXXXXX" files that saves into folder left behind before they
// wrote their temporaries as a plain save does: regular files of this user that no process
// holds locked. A save of a packed file calls it.
void RemoveLeftoverPackFiles(const std::string& folder);

// Unpacks the tile-compressed image in unit hdu (0-based) of the FITS file at path into
// out as a simple FITS file: its header with the image's own keywords, then the pixels.
// The table is checked first (see tilelayout.h), so that a lying header or descriptor is
// refused before anything is decompressed or allocated from it.
// 0, 3, 46 (the table does not describe a sound compressed image, or a tile is corrupt), 6.
[[nodiscard]] int DecompressImage(const std::string& path, int hdu, TempFile& out);

// An unpacking under way: child processes decode the image into the file while whoever
// reads it waits only for the rows it reaches. Its destructor waits for the children.
class Unpacking {
 public:
  static constexpr int kMaxWorkers = 8;
  struct Shared;

  Unpacking();
  ~Unpacking();
  Unpacking(const Unpacking&) = delete;
  Unpacking& operator=(const Unpacking&) = delete;
  // Blocks until the file's bytes before end hold their pixels. False when a child
  // failed (Finish gives its code); then what it should have written is not there.
  bool WaitFor(std::uint64_t end);
  // Waits for every child: 0, or the code of the first that failed (5, 6 or 46).
  int Finish();
  // Whether a child ran past the time limit and was stopped (Finish then gives 46).
  bool timedOut() const { return timedOut_; }
  // Whether the pixels go into the file in this machine's byte order (see
  // StartDecompressImage).
  bool native() const { return native_; }

 private:
  friend int StartDecompressImage(const std::string&, int, TempFile&, std::unique_ptr<Unpacking>*,
                                  bool);
  std::uint64_t BandsOf(int k, std::uint64_t bands) const;
  bool Reap(int k, bool block);
  // Stops every child still running when the time limit has passed; true when it had.
  bool StopWhenOverdue();
  // Sleeps until a child may have ended, the time limit passes, or at most a moment.
  void AwaitChildren();

  Shared* shared_ = nullptr;
  pid_t pids_[kMaxWorkers] = {};
  int pidfds_[kMaxWorkers] = {-1, -1, -1, -1, -1, -1, -1, -1};
  bool reaped_[kMaxWorkers] = {};
  int workers_ = 0;
  int result_ = 0;
  bool native_ = false;
  bool timedOut_ = false;
  std::int64_t deadlineNs_ = 0;  // CLOCK_MONOTONIC
  std::uint64_t dataStart_ = 0, rowBytes_ = 1, rows_ = 0, bandRows_ = 1;
};

// How long the children of one unpacking may take: floorMs, plus a millisecond for every
// bytesPerMs of the image's compressed and uncompressed bytes together. A child still
// decoding then is caught in a damaged tile (cfitsio spins on some) and is stopped; the
// file is reported as damaged (46). The default, 5 s plus 1 s for every 4 MiB, is
// generous: it only has to tell a hang from slow work. Returns the previous limit.
struct UnpackTimeLimit {
  std::uint32_t floorMs = 5000;
  std::uint64_t bytesPerMs = 4 * 1024 * 1024 / 1000;
};
UnpackTimeLimit SetUnpackTimeLimit(const UnpackTimeLimit& limit);
// The limit for an image of imageBytes pixels' bytes and compressedBytes of tiles, in ms.
std::uint64_t UnpackTimeLimitMs(std::uint64_t imageBytes, std::uint64_t compressedBytes);

// What DecompressImage writes, but for the pixels: out at its whole length with the
// header in place, the pixels' bytes left zeros (no memory in a file in memory), nothing
// decompressed. For a read of the header alone: 0, 3, 46 (the table is not sound), 6.
[[nodiscard]] int DecompressImageHeader(const std::string& path, int hdu, TempFile& out);

// DecompressImage without the wait: the header is in out and the children are decoding
// when it returns 0; *running then follows them. The codes before that are
// DecompressImage's. With native, the pixels are handed over in this machine's byte order
// rather than big-endian, as the decoders give them: the file is then no FITS file to
// anyone but a reader told so (FitsDataGate::NativeOrder), which saves turning every
// pixel's bytes twice.
[[nodiscard]] int StartDecompressImage(const std::string& path, int hdu, TempFile& out,
                                       std::unique_ptr<Unpacking>* running, bool native = false);

// Images larger than this many bytes (4 GiB unless changed) are refused rather than
// unpacked. Returns the previous limit.
unsigned long long SetMaxImageBytes(unsigned long long bytes);
// Images of at least this many bytes (8 MiB unless changed) are unpacked by several
// processes side by side, one per processor. Returns the previous threshold.
unsigned long long SetParallelUnpackBytes(unsigned long long bytes);

// Packs the FITS file at source into target with gzip (level 6), written as a plain save
// writes (AtomicFile: a locked temporary beside target that a signal removes and a later
// save sweeps up when the process was killed) and renamed over it when complete: 0, 3, 2
// or 5.
[[nodiscard]] int GzipFile(const std::string& source, const std::string& target);

// Tile-compresses the primary image of the FITS file at source with RICE into target (a
// primary unit without data, then the compressed image, then the source's other units
// as they are), written as GzipFile writes. Integers are lossless; real pixels are
// quantised to a quarter of the noise (cfitsio's default, with subtractive dithering).
// Returns 0, 3, 2, 5 or 46.
[[nodiscard]] int RiceCompressFile(const std::string& source, const std::string& target);

}  // namespace fitscomp
