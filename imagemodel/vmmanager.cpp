// The virtual-memory pager: fixed-size blocks in anonymous mappings or in an unnamed swap
// file, moved between the two least recently used first. The memory budget comes from
// /proc/meminfo (cut to the cgroup limit) and the "VMManager" settings.
#include "imagemodel/vmmanager.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>

#include "platform/clocale.h"
#include "platform/files.h"
#include "platform/messagebox.h"
#include "platform/progress.h"
#include "settings/registry.h"

int CVmManager::m_nGlobalDiskSizeLimit = 0;

namespace {

constexpr const char* kSection = "VMManager";
constexpr std::int64_t kMiB = 1048576;

constexpr int kDefaultBlockSizeKB = 256;
constexpr int kMaxBlockSizeKB = 4096;
constexpr int kDefaultMemoryRatio = 70;
constexpr int kDefaultMinMemoryMB = 32;
constexpr int kDefaultReservedMB = -1;
constexpr int kDefaultMaxDiskMB = 8000;
// The reserve used when the memory in use cannot be told apart from the kernel's.
constexpr std::int64_t kFallbackReservedMB = 32;
// A cgroup v1 "limit" at or above this is the kernel's way of saying "no limit".
constexpr std::int64_t kCgroupNoLimit = std::int64_t{1} << 60;

// String 25000: shown once per run when a block's memory is not 16-byte aligned.
constexpr const char* kMsgAllocAlignment =
    "メモリ確保エラーです。サポートまでお問い合わせください。ご迷惑をおかけします。\n"
    "Alloc returns %8lx.";

// Named swap files: left only by the mkstemp fallback when a run dies between creating
// and unlinking the file.
constexpr const char* kSwapPattern = "~QX*.tmp";
constexpr const char* kSwapTemplateName = "~QXXXXXXX.tmp";  // "~QX" + six random + ".tmp"
constexpr int kSwapTemplateSuffix = 4;                      // ".tmp"

CVmManager::IoFaultHook g_faultHook = nullptr;

// 0, or the errno value the test hook wants this call to fail with.
int Fault(const char* op) {
  return g_faultHook ? g_faultHook(op) : 0;
}

std::unique_ptr<CVmManager>& Holder() {
  static std::unique_ptr<CVmManager> instance;
  return instance;
}

int ClampToInt(std::int64_t v) {
  return static_cast<int>(std::clamp<std::int64_t>(v, INT_MIN, INT_MAX));
}

int ReadInt(const char* name, int def) {
  int value = def;
  CRegistry::Read(kSection, name, def, value, CRegistry::TYPE_INT);
  return value;
}

// The folder swapped to when "VMDrive" is empty: $TMPDIR, else /var/tmp, which is on
// disk where /tmp may be memory.
std::string DefaultSwapDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp && *tmp ? std::string(tmp) : std::string("/var/tmp");
}

std::string ConfiguredDrive() {
  std::string drive;
  CRegistry::Read(kSection, "VMDrive", "", drive);
  return drive;
}

// Free bytes for an unprivileged user in the folder's file system; 0 when unknown.
std::int64_t FreeDiskBytes(const std::string& dir) {
  struct statvfs st {};
  if (::statvfs(dir.c_str(), &st) != 0) return 0;
  unsigned __int128 bytes = static_cast<unsigned __int128>(st.f_bavail) * st.f_frsize;
  return bytes > INT64_MAX ? INT64_MAX : static_cast<std::int64_t>(bytes);
}

// 80 % of the free space, so that swapping never fills a disk to the last byte.
std::int64_t UsableSwapBytes(const std::string& dir) {
  return static_cast<std::int64_t>(static_cast<__int128>(FreeDiskBytes(dir)) * 8 / 10);
}

// Reads a small text file to its end (files under /proc report a size of 0, so the size
// cannot be trusted). False when it cannot be opened or read, or is no regular file.
bool ReadSmallFile(const std::string& path, std::string& out) {
  out.clear();
  int fd = -1;
  if (OpenRegularFile(path, fd) != 0) return false;
  constexpr std::size_t kMax = 1 << 16;
  char buf[4096];
  bool ok = true;
  while (out.size() < kMax) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return ok;
}

// A non-negative decimal at the start of text (after blanks); false when there is none.
bool ParseCount(std::string_view text, std::int64_t& value) {
  std::size_t i = text.find_first_not_of(" \t");
  if (i == std::string_view::npos) return false;
  text.remove_prefix(i);
  std::int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end == text.data() || v < 0) return false;
  value = v;
  return true;
}

// "Name:   1234 kB" lines, in bytes.
std::map<std::string, std::int64_t> ParseMeminfo(const std::string& text) {
  std::map<std::string, std::int64_t> fields;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string_view line(text.data() + pos, eol - pos);
    pos = eol + 1;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::int64_t v = 0;
    std::string_view rest = line.substr(colon + 1);
    if (!ParseCount(rest, v)) continue;
    if (rest.find("kB") != std::string_view::npos) v = v > INT64_MAX / 1024 ? INT64_MAX : v * 1024;
    fields[std::string(line.substr(0, colon))] = v;
  }
  return fields;
}

bool ReadCount(const std::string& path, std::int64_t& value) {
  std::string text;
  return ReadSmallFile(path, text) && ParseCount(text, value);
}

void* MapBlock(std::size_t size) {
  if (int e = Fault("mmap")) {
    errno = e;
    return nullptr;
  }
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

// Grows a table's capacity ahead of use, so that later pushes (on paths that must not
// fail, such as freeing) never allocate.
template <typename T>
void ReserveFor(std::vector<T>& v, std::size_t needed) {
  if (v.capacity() < needed) v.reserve(std::max<std::size_t>({needed, v.capacity() * 2, 64}));
}

}  // namespace

CVmHandle::CVmHandle(int blocks, int units)
    : m_nBlocks(std::max(blocks, 0)),
      m_nUnits(std::max(units, 1)),
      m_pBlocks(std::make_unique<CVmBlock[]>(m_nBlocks)) {}

// ---------------------------------------------------------------------------------------
// Physical memory and the budget

CVmManager::MemoryFigures CVmManager::QueryMemory(const std::string& meminfoPath,
                                                  const std::string& cgroupRoot) {
  MemoryFigures f;
  std::string text;
  std::map<std::string, std::int64_t> info;
  if (ReadSmallFile(meminfoPath, text)) info = ParseMeminfo(text);
  auto field = [&](const char* name, std::int64_t& out) {
    auto it = info.find(name);
    if (it == info.end()) return false;
    out = it->second;
    return true;
  };

  if (!field("MemTotal", f.total) || f.total <= 0) {
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long avail = ::sysconf(_SC_AVPHYS_PAGES);
    long page = ::sysconf(_SC_PAGESIZE);
    f.total = pages > 0 && page > 0 ? std::int64_t{pages} * page : 0;
    f.available = avail > 0 && page > 0 ? std::int64_t{avail} * page : 0;
  } else if (!field("MemAvailable", f.available)) {
    // Kernels before 3.14: free memory is the nearest figure.
    f.available = 0;
    field("MemFree", f.available);
  }

  std::int64_t slab = 0, stack = 0, tables = 0;
  f.haveKernelFigures = field("Cached", f.cached) && field("Slab", slab) &&
                        field("KernelStack", stack) && field("PageTables", tables);
  if (f.haveKernelFigures)
    f.kernel = slab + stack + tables;
  else
    f.cached = 0;

  // A container's limit is the memory this process can really have.
  std::int64_t limit = 0, usage = -1;
  std::string max;
  if (ReadSmallFile(cgroupRoot + "/memory.max", max)) {
    if (max.rfind("max", 0) != 0 && ParseCount(max, limit) && limit > 0)
      ReadCount(cgroupRoot + "/memory.current", usage);
    else
      limit = 0;
  } else if (ReadCount(cgroupRoot + "/memory/memory.limit_in_bytes", limit) && limit > 0 &&
             limit < kCgroupNoLimit) {
    ReadCount(cgroupRoot + "/memory/memory.usage_in_bytes", usage);
  } else {
    limit = 0;
  }
  if (limit > 0) {
    f.cgroupLimit = limit;
    f.total = std::min(f.total, limit);
    std::int64_t room = usage >= 0 ? std::max<std::int64_t>(limit - usage, 0) : limit;
    f.available = std::min(f.available, room);
  }
  return f;
}

std::int64_t CVmManager::ComputeMemoryBudget(const MemoryFigures& m, int memoryRatio,
                                             int reservedMB, int minMemoryMB,
                                             bool* usedKernelFigures) {
  bool usedKernel = false;
  std::int64_t reserved = 0;  // MB
  if (reservedMB > 0) {
    reserved = reservedMB;
  } else {
    if (m.haveKernelFigures) {
      // What the kernel holds, but no more than what is busy outside the page cache.
      usedKernel = true;
      std::int64_t busy = std::max(m.total - m.cached, m.available);
      reserved = std::min(m.kernel, busy) / kMiB;
    }
    if (reserved < 1) {
      std::int64_t inUse = (m.total - m.available) / kMiB;
      reserved = inUse < kFallbackReservedMB ? kFallbackReservedMB : inUse;
    }
  }
  if (usedKernelFigures) *usedKernelFigures = usedKernel;

  __int128 budget =
      (static_cast<__int128>(m.total) - static_cast<__int128>(reserved) * kMiB) * memoryRatio / 100;
  budget = std::min<__int128>(budget, m.total);
  budget = std::max<__int128>(budget, static_cast<__int128>(minMemoryMB) * kMiB);
  return static_cast<std::int64_t>(std::clamp<__int128>(budget, 0, INT64_MAX));
}

// ---------------------------------------------------------------------------------------
// Start-up and shutdown

CVmManager::CVmManager() {
  DeleteAllSwapFiles();

  int blockKB = ReadInt("BlockSize", kDefaultBlockSizeKB);
  if (blockKB < 1 || blockKB > kMaxBlockSizeKB) blockKB = kDefaultBlockSizeKB;
  m_nSetBlockSizeKB = blockKB;
  m_nBlockSize = static_cast<std::size_t>(blockKB) * 1024;
  const std::int64_t blockSize = static_cast<std::int64_t>(m_nBlockSize);
  m_nMaxSpareBlocks = std::max<std::size_t>(kMaxSpareBytes / m_nBlockSize, 1);
  m_SpareMemory.reserve(m_nMaxSpareBlocks);

  m_nSetMemoryRatio = ReadInt("MemoryRatio", kDefaultMemoryRatio);
  m_nSetMinMemory = ReadInt("MinMemorySize", kDefaultMinMemoryMB);
  m_nSetReservedMemory = ReadInt("ReservedMemory", kDefaultReservedMB);

  bool usedKernel = false;
  std::int64_t budget = ComputeMemoryBudget(QueryMemory(), m_nSetMemoryRatio, m_nSetReservedMemory,
                                            m_nSetMinMemory, &usedKernel);
  // For the settings dialog to show. The store writes only a figure that differs from
  // the one stored, and a process that opened the settings for reading writes nothing.
  CRegistry::Write(kSection, "AquiredMemory",
                   FormatC("%d%s", ClampToInt(budget / kMiB), usedKernel ? "(meminfo)" : ""));
  // The slot table grows with use up to this count, so a large budget of small blocks
  // costs nothing until it is used.
  m_nSlots = ClampToInt(budget / blockSize);

  m_strDrive = ConfiguredDrive();
  m_strDirectory = m_strDrive.empty() ? DefaultSwapDirectory() : m_strDrive;
  m_nSetMaxDiskSize = ReadInt("MaxDiskSize", kDefaultMaxDiskMB);

  std::int64_t freeBlocks = UsableSwapBytes(m_strDirectory) / blockSize;
  if (freeBlocks > 0) OpenSwapFile();
  if (m_nSwapFd >= 0) {
    std::int64_t byMax = std::max<std::int64_t>(m_nSetMaxDiskSize, 0) * kMiB / blockSize;
    m_nDiskBlockLimit = ClampToInt(std::min(byMax, freeBlocks));
    m_nGlobalDiskSizeLimit =
        ClampToInt(static_cast<std::int64_t>(static_cast<__int128>(blockSize) * freeBlocks / kMiB));
  } else {
    // Memory only: allocations fail once the slots run out.
    m_nDiskBlockLimit = 0;
    m_nGlobalDiskSizeLimit = 0;
  }
}

// Releases every block's memory and closes the swap file, whose data goes with it. Handles
// still out point at nothing afterwards; the owner frees them first.
CVmManager::~CVmManager() {
  for (CVmMemory& slot : m_Slots)
    if (slot.m_pMemory) ::munmap(slot.m_pMemory, Bytes(slot.m_nUnits));
  for (void* spare : m_SpareMemory) ::munmap(spare, m_nBlockSize);
  if (m_nSwapFd >= 0) ::close(m_nSwapFd);
}

// The swap file has no name, so it vanishes with the process and no clean-up can reach
// another running copy's file. File systems without O_TMPFILE get a named file that is
// unlinked at once.
void CVmManager::OpenSwapFile() {
  int fd = -1;
  if (int e = Fault("O_TMPFILE"))
    errno = e;
  else
    fd = ::open(m_strDirectory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::string name = m_strDirectory + "/" + kSwapTemplateName;
    if (int e = Fault("mkstemp")) {
      errno = e;
    } else {
      fd = ::mkostemps(name.data(), kSwapTemplateSuffix, O_CLOEXEC);
      if (fd >= 0) ::unlink(name.c_str());
    }
  }
  m_nSwapFd = fd;
}

CVmManager& CVmManager::Instance() {
  std::unique_ptr<CVmManager>& p = Holder();
  if (!p) p = std::make_unique<CVmManager>();
  return *p;
}

void CVmManager::Restart() {
  std::unique_ptr<CVmManager>& p = Holder();
  p.reset();
  p = std::make_unique<CVmManager>();
}

void CVmManager::SetIoFaultHook(IoFaultHook hook) {
  g_faultHook = hook;
}

// ---------------------------------------------------------------------------------------
// Memory slots

bool CVmManager::EnsureFreeSlot() {
  if (!m_FreeSlots.empty()) return true;
  if (m_Slots.size() >= static_cast<std::size_t>(m_nSlots)) return false;
  try {
    m_Slots.emplace_back();
  } catch (const std::bad_alloc&) {
    return false;
  }
  try {
    ReserveFor(m_FreeSlots, m_Slots.capacity());
  } catch (const std::bad_alloc&) {
    m_Slots.pop_back();
    return false;
  }
  m_FreeSlots.push_back(static_cast<int>(m_Slots.size()) - 1);
  return true;
}

int CVmManager::TakeSlot(CVmHandle* handle, int block, bool zeroReused) {
  const int units = handle->GetUnits();
  if (m_nSlotsInUse > m_nSlots - units || !EnsureFreeSlot()) return -1;
  void* memory = nullptr;
  if (units == 1 && !m_SpareMemory.empty()) {
    memory = m_SpareMemory.back();
    m_SpareMemory.pop_back();
    if (zeroReused) std::memset(memory, 0, m_nBlockSize);
  } else {
    TrimSpares(units);
    memory = MapBlock(Bytes(units));
  }
  if (!memory) return -1;
  auto address = reinterpret_cast<std::uintptr_t>(memory);
  if (address % 16 != 0 && !m_bAlignWarned) {
    // Pixel rows assume 16-byte alignment; say so once, then carry on with the memory.
    m_bAlignWarned = true;
    AfxMessageBox(FormatC(kMsgAllocAlignment, static_cast<unsigned long>(address)),
                  MB_ICONEXCLAMATION);
  }
  int index = m_FreeSlots.back();
  m_FreeSlots.pop_back();
  CVmMemory& slot = m_Slots[index];
  slot = CVmMemory{};
  slot.m_pMemory = memory;
  slot.m_nStamp = ++m_nUseCounter;
  slot.m_pHandle = handle;
  slot.m_nBlock = block;
  slot.m_nUnits = units;
  m_nSlotsInUse += units;
  handle->Set(block, CVmBlock::kInMemory, index);
  return index;
}

// Returns the slot to the free stack and unmaps its memory, or, when keepSpare is set,
// keeps the mapping for the next block to come in: a block paged out usually makes room
// for one paged in, and an image freed in a batch run for the next one read, and reusing
// the mapping spares the kernel zeroing fresh pages. Only mappings of one unit are kept
// (wide blocks are rare enough to map afresh), within kMaxSpareBytes and the budget.
// The disk copy, if any, is the caller's business.
void CVmManager::ReleaseSlot(int index, bool keepSpare) {
  CVmMemory& slot = m_Slots[index];
  const int units = slot.m_nUnits;
  m_nSlotsInUse -= units;
  if (keepSpare && units == 1 && m_SpareMemory.size() < m_nMaxSpareBlocks &&
      static_cast<std::int64_t>(m_SpareMemory.size()) + m_nSlotsInUse < m_nSlots)
    m_SpareMemory.push_back(slot.m_pMemory);  // capacity reserved at construction
  else
    ::munmap(slot.m_pMemory, Bytes(units));
  slot = CVmMemory{};
  m_FreeSlots.push_back(index);  // capacity reserved when the slot was created
}

void CVmManager::TrimSpares(int units) {
  while (!m_SpareMemory.empty() &&
         static_cast<std::int64_t>(m_SpareMemory.size()) + m_nSlotsInUse + units > m_nSlots) {
    ::munmap(m_SpareMemory.back(), m_nBlockSize);
    m_SpareMemory.pop_back();
  }
}

bool CVmManager::OwnsSlot(const CVmHandle* handle, int block, int slot) const {
  return slot >= 0 && static_cast<std::size_t>(slot) < m_Slots.size() &&
         m_Slots[slot].m_pHandle == handle && m_Slots[slot].m_nBlock == block;
}

// ---------------------------------------------------------------------------------------
// Swap file

int CVmManager::AppendDiskBlock() {
  if (m_nSwapFd < 0 || m_nDiskBlocksCreated >= m_nDiskBlockLimit) return -1;
  try {
    ReserveFor(m_DiskOffsets, static_cast<std::size_t>(m_nDiskBlocksCreated) + 1);
    ReserveFor(m_FreeDiskBlocks, m_DiskOffsets.capacity());
  } catch (const std::bad_alloc&) {
    return -1;
  }
  const std::int64_t offset =
      std::int64_t{m_nDiskBlocksCreated} * static_cast<std::int64_t>(m_nBlockSize);
  const std::int64_t end = offset + static_cast<std::int64_t>(m_nBlockSize);
  if (int e = Fault("ftruncate")) {
    errno = e;
    return -1;
  }
  int rc;
  do rc = ::ftruncate(m_nSwapFd, static_cast<off_t>(end));
  while (rc != 0 && errno == EINTR);
  if (rc != 0) return -1;
  m_DiskOffsets.push_back(offset);
  return m_nDiskBlocksCreated++;
}

// The first of `units` consecutive free disk blocks, taken: from the free stack, or new
// ones at the end of the file. -1 when there is no such run and the file may not grow
// by that much. Disk block i lies at i × block size, so a run is one stretch of the file.
int CVmManager::TakeDiskRun(int units) {
  if (units == 1) {
    if (!m_FreeDiskBlocks.empty()) {
      const int disk = m_FreeDiskBlocks.back();
      m_FreeDiskBlocks.pop_back();
      return disk;
    }
    return AppendDiskBlock();
  }
  if (m_FreeDiskBlocks.size() >= static_cast<std::size_t>(units)) {
    try {
      std::vector<int> sorted(m_FreeDiskBlocks);
      std::sort(sorted.begin(), sorted.end());
      for (std::size_t i = 0, run = 1; i + 1 < sorted.size(); ++i) {
        run = sorted[i + 1] == sorted[i] + 1 ? run + 1 : 1;
        if (run < static_cast<std::size_t>(units)) continue;
        const int first = sorted[i + 1] - units + 1;
        std::erase_if(m_FreeDiskBlocks, [&](int d) { return d >= first && d < first + units; });
        return first;
      }
    } catch (const std::bad_alloc&) {
      // No room to look for a run: new blocks may still be had.
    }
  }
  if (m_nSwapFd < 0 || m_nDiskBlocksCreated > m_nDiskBlockLimit - units) return -1;
  const int first = m_nDiskBlocksCreated;
  for (int k = 0; k < units; ++k) {
    if (AppendDiskBlock() >= 0) continue;
    // The file keeps the blocks it grew by, as free ones.
    FreeDiskRun(first, k);
    return -1;
  }
  return first;
}

// Returns a run of disk blocks to the free stack (never allocates: its capacity covers
// every block the file holds).
void CVmManager::FreeDiskRun(int first, int units) {
  for (int k = 0; k < units; ++k) m_FreeDiskBlocks.push_back(first + k);
}

bool CVmManager::WriteDiskBlock(int disk, const void* memory, int units) {
  if (int e = Fault("pwrite")) {
    errno = e;
    return false;
  }
  const char* p = static_cast<const char*>(memory);
  std::size_t left = Bytes(units);
  off_t offset = static_cast<off_t>(m_DiskOffsets[disk]);
  while (left > 0) {
    ssize_t n = ::pwrite(m_nSwapFd, p, left, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    p += n;
    offset += n;
    left -= static_cast<std::size_t>(n);
  }
  ++m_nDiskWrites;
  return true;
}

bool CVmManager::ReadDiskBlock(int disk, void* memory, int units) {
  if (int e = Fault("pread")) {
    errno = e;
    return false;
  }
  char* p = static_cast<char*>(memory);
  std::size_t left = Bytes(units);
  off_t offset = static_cast<off_t>(m_DiskOffsets[disk]);
  while (left > 0) {
    ssize_t n = ::pread(m_nSwapFd, p, left, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;  // the file is shorter than the block
      return false;
    }
    p += n;
    offset += n;
    left -= static_cast<std::size_t>(n);
  }
  ++m_nDiskReads;
  return true;
}

// Gives up the disk copy of the lowest-numbered slot that has one; that block is written
// again when it is paged out.
bool CVmManager::DeleteDuplicateBlock() {
  for (CVmMemory& slot : m_Slots) {
    if (slot.m_pHandle && slot.m_nDiskBlock >= 0) {
      FreeDiskRun(slot.m_nDiskBlock, slot.m_nUnits);
      slot.m_nDiskBlock = -1;
      return true;
    }
  }
  return false;
}

// Moves the least recently used unlocked block to disk. A clean block with a current disk
// copy is dropped without writing. On failure nothing changes.
bool CVmManager::PageOut() {
  int victim = -1;
  for (std::size_t i = 0; i < m_Slots.size(); ++i) {
    const CVmMemory& s = m_Slots[i];
    if (s.m_pHandle && s.m_nLock <= 0 && (victim < 0 || s.m_nStamp < m_Slots[victim].m_nStamp))
      victim = static_cast<int>(i);
  }
  if (victim < 0) return false;
  CVmMemory& slot = m_Slots[victim];

  const int units = slot.m_nUnits;
  int disk = slot.m_nDiskBlock;
  if (disk < 0) {
    disk = TakeDiskRun(units);
    if (disk < 0) return false;
    if (!WriteDiskBlock(disk, slot.m_pMemory, units)) {
      // Back on the stack it came from; a block just appended stays in the file as free.
      FreeDiskRun(disk, units);
      return false;
    }
  } else if (slot.m_bModified) {
    if (!WriteDiskBlock(disk, slot.m_pMemory, units)) return false;
  }

  slot.m_pHandle->Set(slot.m_nBlock, CVmBlock::kOnDisk, disk);
  ReleaseSlot(victim, true);
  return true;
}

// Pages out one block, then more until a block of `units` fits in memory. False when a
// page-out fails before that.
bool CVmManager::PageOutFor(int units) {
  if (!PageOut()) return false;
  while (m_nSlotsInUse > m_nSlots - units)
    if (!PageOut()) return false;
  return true;
}

// ---------------------------------------------------------------------------------------
// Blocks and handles

// Places a new block in a free slot, or else on disk without paging anything out.
bool CVmManager::AllocBlock(CVmHandle* handle, int block, bool cleared) {
  // A new block reads as zeros, as a fresh mapping does, even when it reuses a spare.
  if (TakeSlot(handle, block, cleared) >= 0) return true;
  const int units = handle->GetUnits();
  int disk = TakeDiskRun(units);
  // A swap file that holds its limit gives up disk copies of blocks in memory until the
  // block finds room.
  while (disk < 0 && m_nDiskBlocksCreated > m_nDiskBlockLimit - units && DeleteDuplicateBlock())
    disk = TakeDiskRun(units);
  if (disk < 0) return false;
  handle->Set(block, CVmBlock::kOnDisk, disk);
  return true;
}

void CVmManager::FreeBlock(CVmHandle* handle, int block) {
  const int index = handle->GetSlotIndex(block);
  const int units = handle->GetUnits();
  switch (handle->GetType(block)) {
    case CVmBlock::kOnDisk:
      if (index >= 0 && index <= m_nDiskBlocksCreated - units) FreeDiskRun(index, units);
      break;
    case CVmBlock::kInMemory:
      if (OwnsSlot(handle, block, index)) {
        if (m_Slots[index].m_nDiskBlock >= 0) FreeDiskRun(m_Slots[index].m_nDiskBlock, units);
        ReleaseSlot(index);
      }
      break;
    default:
      break;
  }
  handle->Set(block, CVmBlock::kUnallocated, -1);
}

CVmHandle* CVmManager::Alloc(int n, ProgressSink* progress, const std::string& caption, int units,
                             bool cleared) {
  // A block that does not fit the whole budget could never be brought into memory.
  if (n < 0 || units < 1 || units > m_nSlots) return nullptr;
  // Two blocks of headroom, so that bringing a block in always has somewhere to go.
  const std::int64_t wanted = std::int64_t{n} * units;
  if (std::int64_t{m_nDiskBlockLimit} + m_nSlots <
          std::int64_t{m_nBlocksHandedOut} + wanted + 2 * std::int64_t{units} ||
      std::int64_t{m_nBlocksHandedOut} + wanted > INT_MAX)
    return nullptr;

  std::unique_ptr<CVmHandle> handle;
  try {
    handle = std::make_unique<CVmHandle>(n, units);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  ProgressScope scope(progress, caption);
  for (int i = 0; i < n; ++i) {
    scope.Update(std::int64_t{i} + 1, n);
    if (!AllocBlock(handle.get(), i, cleared)) {
      for (int j = 0; j < i; ++j) FreeBlock(handle.get(), j);
      return nullptr;
    }
  }
  m_nBlocksHandedOut += static_cast<int>(wanted);
  return handle.release();
}

void CVmManager::Free(CVmHandle* handle) {
  if (!handle) return;
  m_nBlocksHandedOut -= handle->GetBlockCount() * handle->GetUnits();
  for (int i = 0; i < handle->GetBlockCount(); ++i) FreeBlock(handle, i);
  delete handle;
}

void* CVmManager::GetBlockOnMemory(CVmHandle* handle, int block, int readOnly) {
  if (!handle || block < 0 || block >= handle->GetBlockCount()) return nullptr;
  const int index = handle->GetSlotIndex(block);

  if (handle->GetType(block) == CVmBlock::kInMemory) {
    if (!OwnsSlot(handle, block, index)) return nullptr;
    CVmMemory& slot = m_Slots[index];
    slot.m_nStamp = ++m_nUseCounter;
    if (!readOnly) slot.m_bModified = 1;
    return slot.m_pMemory;
  }
  if (handle->GetType(block) != CVmBlock::kOnDisk || index < 0 || index >= m_nDiskBlocksCreated)
    return nullptr;

  const int disk = index;
  const int units = handle->GetUnits();
  if (disk > m_nDiskBlocksCreated - units) return nullptr;
  int s = TakeSlot(handle, block);
  if (s < 0 && PageOutFor(units)) s = TakeSlot(handle, block);
  // Paging out may have needed a disk block that only a duplicate can give up.
  if (s < 0 && DeleteDuplicateBlock() && PageOutFor(units)) s = TakeSlot(handle, block);
  if (s < 0) return nullptr;
  CVmMemory& slot = m_Slots[s];
  if (!ReadDiskBlock(disk, slot.m_pMemory, units)) {
    // The block stays where it was, its disk copy untouched.
    ReleaseSlot(s);
    handle->Set(block, CVmBlock::kOnDisk, disk);
    return nullptr;
  }
  slot.m_bModified = readOnly ? 0 : 1;
  slot.m_nStamp = ++m_nUseCounter;
  slot.m_nDiskBlock = disk;
  return slot.m_pMemory;
}

int CVmManager::LockBlock(CVmHandle* handle, int lock, int i) {
  if (!handle || i < 0 || i >= handle->GetBlockCount() || handle->GetType(i) != CVmBlock::kInMemory)
    return 0;
  const int index = handle->GetSlotIndex(i);
  if (!OwnsSlot(handle, i, index)) return 0;
  int& count = m_Slots[index].m_nLock;
  // An unlock without a lock must not leave a debt that a later lock merely repays.
  if (lock)
    ++count;
  else if (count > 0)
    --count;
  return 1;
}

void CVmManager::UnlockAll(CVmHandle* handle) {
  if (!handle) return;
  for (int i = 0; i < handle->GetBlockCount(); ++i) {
    const int index = handle->GetSlotIndex(i);
    if (handle->GetType(i) == CVmBlock::kInMemory && OwnsSlot(handle, i, index))
      m_Slots[index].m_nLock = 0;
  }
}

bool CVmManager::IsOnMemory(const CVmHandle* handle) const {
  if (!handle) return true;
  for (int i = 0; i < handle->GetBlockCount(); ++i)
    if (handle->GetType(i) == CVmBlock::kOnDisk) return false;
  return true;
}

// ---------------------------------------------------------------------------------------
// Settings record and swap files

void CVmManager::GetVmStatus(VMSTATUS* status) {
  if (!status) return;
  const CVmManager& vm = Instance();
  status->nBlockSize = vm.m_nSetBlockSizeKB;
  status->nMemoryRatio = vm.m_nSetMemoryRatio;
  status->nReservedMemory = vm.m_nSetReservedMemory;
  status->nMinMemorySize = vm.m_nSetMinMemory;
  status->nMaxDiskSize = vm.m_nSetMaxDiskSize;
  status->nGlobalDiskSizeLimit = m_nGlobalDiskSizeLimit;
  status->szDirectory = vm.m_strDirectory;
  status->szDrive = vm.m_strDrive;
}

void CVmManager::GetVmStatusDefault(VMSTATUS* status) {
  if (!status) return;
  status->nBlockSize = kDefaultBlockSizeKB;
  status->nMemoryRatio = kDefaultMemoryRatio;
  status->nReservedMemory = kDefaultReservedMB;
  status->nMinMemorySize = kDefaultMinMemoryMB;
  status->nGlobalDiskSizeLimit = m_nGlobalDiskSizeLimit;
  status->szDirectory = DefaultSwapDirectory();
  status->szDrive.clear();
  // No more than the default folder can hold; our own swap file there counts as room.
  std::int64_t room = UsableSwapBytes(status->szDirectory) / kMiB;
  const CVmManager* running = Holder().get();
  if (running && running->m_strDrive.empty()) room += GetCurrentSwapSize() / kMiB;
  status->nMaxDiskSize = ClampToInt(std::min<std::int64_t>(kDefaultMaxDiskMB, room));
}

void CVmManager::WriteVmStatus(const VMSTATUS* status) {
  if (!status) return;
  if (status->szDrive.empty())
    CRegistry::DeleteValue(kSection, "VMDrive");
  else
    CRegistry::Write(kSection, "VMDrive", std::string_view(status->szDrive));
  CRegistry::Write(kSection, "MemoryRatio", status->nMemoryRatio, CRegistry::TYPE_INT);
  CRegistry::Write(kSection, "MaxDiskSize", status->nMaxDiskSize, CRegistry::TYPE_INT);
  CRegistry::DeleteValue(kSection, "AquiredMemory");
}

std::int64_t CVmManager::GetCurrentSwapSize() {
  const CVmManager* running = Holder().get();
  if (!running) return 0;
  return std::int64_t{running->m_nDiskBlocksCreated} *
         static_cast<std::int64_t>(running->m_nBlockSize);
}

// Only named files can be left over (by the mkstemp fallback, between creation and
// unlinking); unnamed swap files vanish with their process. Only our own regular files
// directly in the swap folder are touched.
void CVmManager::DeleteAllSwapFiles() {
  std::string drive = ConfiguredDrive();
  std::string dir = drive.empty() ? DefaultSwapDirectory() : drive;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  const int dfd = ::dirfd(d);
  const uid_t me = ::geteuid();
  while (const dirent* e = ::readdir(d)) {
    if (::fnmatch(kSwapPattern, e->d_name, 0) != 0) continue;
    struct stat st {};
    if (::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) || st.st_uid != me) continue;
    ::unlinkat(dfd, e->d_name, 0);
  }
  ::closedir(d);
}
