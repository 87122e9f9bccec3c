// The FITS reader's low-level reads of the file: positioned reads that go on after a
// signal and stop only at the end of the file, vectored reads of rows, the data gate that
// supplies data or waits for data still being written, and the cards of a header read up
// to its END card.
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "fits/fitscards.h"
#include "fits/fitsread_internal.h"

using namespace fitscards;

namespace fitsread {

namespace {

// Reads exactly the bytes the vectors describe; false on a short read or an error.
bool ReadVectorAt(int fd, iovec* iov, int count, std::uint64_t offset) {
  while (count > 0) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return false;
    ssize_t r = ::preadv(fd, iov, count, static_cast<off_t>(offset));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    offset += static_cast<std::uint64_t>(r);
    auto left = static_cast<std::size_t>(r);
    while (count > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + left;
      iov->iov_len -= left;
    }
  }
  return true;
}

}  // namespace

thread_local FitsDataGate* g_dataGate = nullptr;

bool DataReady(std::uint64_t end) {
  return !g_dataGate || g_dataGate->WaitFor(end);
}

long long ReadAt(int fd, void* buffer, std::size_t n, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return 0;
  std::size_t got = 0;
  auto* p = static_cast<char*>(buffer);
  while (got < n) {
    ssize_t r = ::pread(fd, p + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return static_cast<long long>(got);
}

bool ReadDataAt(int fd, void* buffer, std::size_t n, std::uint64_t offset) {
  if (g_dataGate)
    if (const int supplied = g_dataGate->Supply(buffer, n, offset); supplied >= 0)
      return supplied == 1;
  return ReadAt(fd, buffer, n, offset) == static_cast<long long>(n);
}

bool ReadDataVectorAt(int fd, iovec* iov, int count, std::uint64_t offset) {
  if (g_dataGate && count > 0) {
    const int first = g_dataGate->Supply(iov[0].iov_base, iov[0].iov_len, offset);
    if (first == 0) return false;
    if (first == 1) {
      for (int i = 1; i < count; ++i) {
        offset += iov[i - 1].iov_len;
        if (!ReadDataAt(fd, iov[i].iov_base, iov[i].iov_len, offset)) return false;
      }
      return true;
    }
  }
  return ReadVectorAt(fd, iov, count, offset);
}

std::uint64_t FileSize(int fd, bool* regular) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *regular = false;
    return 0;
  }
  *regular = true;
  return static_cast<std::uint64_t>(st.st_size);
}

int ReadCards(int fd, std::uint64_t offset, const char* firstRecord,
              std::vector<std::string>* cards, std::uint64_t* end) {
  std::array<char, kRecordSize> record;
  for (std::uint64_t n = 0;; ++n) {
    if (n >= kMaxHeaderRecords) return FITS_INVALID_IMAGE;
    const char* data = firstRecord;
    if (n > 0 || !data) {
      if (ReadAt(fd, record.data(), kRecordSize, offset) != static_cast<long long>(kRecordSize))
        return FITS_READ_FAILED;
      data = record.data();
    }
    offset += kRecordSize;
    for (int c = 0; c < kCardsPerRecord; ++c) {
      cards->emplace_back(data + c * kCardSize, kCardSize);
      if (Begins(cards->back(), "END       ")) {
        *end = offset;
        return FITS_OK;
      }
    }
  }
}

}  // namespace fitsread

using namespace fitsread;

FitsDataGate* CFits::SetDataGate(FitsDataGate* gate) {
  FitsDataGate* previous = g_dataGate;
  g_dataGate = gate;
  return previous;
}
