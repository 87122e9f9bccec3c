#include "imagemodel/fitskept.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "imagemodel/fitsheader.h"

namespace {

constexpr std::size_t kCard = 80;
// Pieces in which a data unit that stays in its source file is copied.
constexpr std::size_t kCopyChunk = 1 << 20;

}  // namespace

bool FitsFileIdentity::Of(int fd, FitsFileIdentity* out) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  out->device = static_cast<std::uint64_t>(st.st_dev);
  out->inode = static_cast<std::uint64_t>(st.st_ino);
  out->size = static_cast<std::uint64_t>(st.st_size);
  out->mtimeSeconds = static_cast<std::int64_t>(st.st_mtim.tv_sec);
  out->mtimeNanoseconds = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
  return true;
}

CFitsSourceFile::~CFitsSourceFile() {
  if (m_nFd >= 0) ::close(m_nFd);
}

bool CFitsSourceFile::IsUnchanged() const {
  FitsFileIdentity now;
  return m_nFd >= 0 && FitsFileIdentity::Of(m_nFd, &now) && now == m_Seen;
}

bool CFitsSourceFile::ReadAt(void* buffer, std::size_t n, std::uint64_t offset) const {
  auto* p = static_cast<char*>(buffer);
  std::size_t got = 0;
  while (got < n) {
    if (offset + got > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return false;
    const ssize_t r = ::pread(m_nFd, p + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  return true;
}

CFitsKeptExtension::CFitsKeptExtension(std::string header, std::vector<std::uint8_t> data) {
  auto bytes = std::make_shared<Bytes>();
  bytes->header = std::move(header);
  bytes->length = data.size();
  bytes->data = std::move(data);
  m_Bytes = std::move(bytes);
}

CFitsKeptExtension::CFitsKeptExtension(std::string header,
                                       std::shared_ptr<const CFitsSourceFile> file,
                                       std::uint64_t offset, std::uint64_t length) {
  auto bytes = std::make_shared<Bytes>();
  bytes->header = std::move(header);
  bytes->file = std::move(file);
  bytes->offset = offset;
  bytes->length = length;
  m_Bytes = std::move(bytes);
}

std::string CFitsKeptExtension::GetValue(std::string_view keyword) const {
  const std::string_view header = m_Bytes->header;
  for (std::size_t at = 0; at + kCard <= header.size(); at += kCard) {
    const std::string_view card = header.substr(at, kCard);
    if (IsCardKeyword(card, "END")) break;
    if (!IsCardKeyword(card, keyword) || card.compare(8, 2, "= ") != 0) continue;
    std::string_view value = card.substr(10);
    const std::size_t first = value.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    value.remove_prefix(first);
    if (value.front() == '\'') {
      // A string ends at the first quote that is not doubled.
      for (std::size_t i = 1; i < value.size(); ++i) {
        if (value[i] != '\'') continue;
        if (i + 1 < value.size() && value[i + 1] == '\'') {
          ++i;
          continue;
        }
        return std::string(value.substr(0, i + 1));
      }
      return std::string(value);
    }
    const std::size_t slash = value.find('/');
    value = value.substr(0, slash);
    const std::size_t last = value.find_last_not_of(' ');
    return std::string(value.substr(0, last == std::string_view::npos ? 0 : last + 1));
  }
  return {};
}

std::uint64_t CFitsKeptExtension::GetDataLength() const {
  return m_Bytes->length;
}

const std::uint8_t* CFitsKeptExtension::GetData() const {
  return m_Bytes->file ? nullptr : m_Bytes->data.data();
}

bool CFitsKeptExtension::CopyData(
    const std::function<bool(const void*, std::size_t)>& write) const {
  const Bytes& b = *m_Bytes;
  if (!b.file) return b.length == 0 || write(b.data.data(), b.data.size());
  if (!b.file->IsUnchanged()) return false;
  std::vector<std::uint8_t> chunk(
      static_cast<std::size_t>(std::min<std::uint64_t>(b.length, kCopyChunk)));
  for (std::uint64_t done = 0; done < b.length;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(b.length - done, kCopyChunk));
    if (!b.file->ReadAt(chunk.data(), n, b.offset + done) || !write(chunk.data(), n)) return false;
    done += n;
  }
  // A change while the bytes were being copied would have mixed old and new data.
  return b.file->IsUnchanged();
}
