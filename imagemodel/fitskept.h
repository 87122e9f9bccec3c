// Extensions that the reader does not interpret (binary tables, image extensions, tables
// of other programs) travel with an image unchanged: their header records and their data
// unit, padding included, exactly as the file held them, so that a plain open-and-save
// writes them back byte for byte. The bytes never change once read, so every copy of an
// image shares them; a data unit too large to hold in memory stays in its source file,
// which is kept open, and is copied from there when the image is saved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// What a file looked like when it was opened: a change in place shows in its size or its
// modification time.
struct FitsFileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t mtimeSeconds = 0;
  std::int64_t mtimeNanoseconds = 0;
  bool operator==(const FitsFileIdentity&) const = default;

  // The identity of an open file; false when it cannot be had.
  static bool Of(int fd, FitsFileIdentity* out);
};

// An open source file that kept data units are read from. The descriptor holds the inode
// it was opened on, so a save that renames a new file over the same name leaves these
// bytes readable; only a change in place makes them unusable.
class CFitsSourceFile {
 public:
  // Takes ownership of fd; seen is the identity the file had when its reading began.
  CFitsSourceFile(int fd, const FitsFileIdentity& seen) : m_nFd(fd), m_Seen(seen) {}
  ~CFitsSourceFile();
  CFitsSourceFile(const CFitsSourceFile&) = delete;
  CFitsSourceFile& operator=(const CFitsSourceFile&) = delete;

  // Whether the file still has the identity it had when it was read.
  bool IsUnchanged() const;
  // Reads exactly n bytes at offset; false on a short read or an error.
  bool ReadAt(void* buffer, std::size_t n, std::uint64_t offset) const;
  const FitsFileIdentity& GetIdentity() const { return m_Seen; }
  // The descriptor, for copying a range of the file into another one.
  int GetFd() const { return m_nFd; }

 private:
  int m_nFd;
  FitsFileIdentity m_Seen;
};

// One extension carried through unread. Copies share the bytes.
class CFitsKeptExtension {
 public:
  // The header records (whole 2880-byte records, END among them) and the data unit with
  // its padding, held in memory.
  CFitsKeptExtension(std::string header, std::vector<std::uint8_t> data);
  // The same with the data unit left in the source file at [offset, offset + length).
  CFitsKeptExtension(std::string header, std::shared_ptr<const CFitsSourceFile> file,
                     std::uint64_t offset, std::uint64_t length);

  // The header records as the file held them.
  std::string_view GetHeader() const { return m_Bytes->header; }
  // The value of a keyword's card from column 11, up to and including the closing quote
  // for a string; empty when the header has no such card before END.
  std::string GetValue(std::string_view keyword) const;
  std::string GetXtension() const { return GetValue("XTENSION"); }
  std::string GetExtName() const { return GetValue("EXTNAME"); }

  // Bytes of the data unit with its padding.
  std::uint64_t GetDataLength() const;
  // The data unit when it is held in memory; null when it stays in the source file.
  const std::uint8_t* GetData() const;
  // The source file the data unit stays in, or null.
  const CFitsSourceFile* GetSourceFile() const { return m_Bytes->file.get(); }

  // Hands the data unit to write in pieces. False when the source file changed since it
  // was read (checked before and after the copy), a read failed or write answered false.
  bool CopyData(const std::function<bool(const void*, std::size_t)>& write) const;

 private:
  struct Bytes {
    std::string header;
    std::vector<std::uint8_t> data;
    std::shared_ptr<const CFitsSourceFile> file;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
  };
  std::shared_ptr<const Bytes> m_Bytes;
};
