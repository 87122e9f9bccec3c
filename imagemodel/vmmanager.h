// The process-wide virtual-memory pager. Every pixel store takes fixed-size blocks from
// it; a block lives in a memory slot or in an unnamed swap file, and the pager moves
// blocks between the two on demand, least recently used first, so that the images open
// at one time may together exceed the memory the program allows itself. Tuning comes
// from the settings section "VMManager". Used from one thread only; lock counts are
// residency pins, not thread locks.
// A store whose rows are longer than one block asks for wide blocks: each of its blocks
// is a whole number of units of the configured block size, held in one mapping and in a
// run of consecutive blocks of the swap file. Memory and swap are counted in units, so a
// wide block costs what that many ordinary blocks cost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ProgressSink;

// One block of a handle: where it lives.
class CVmBlock {
 public:
  enum : int { kUnallocated = 0, kInMemory = 1, kOnDisk = 2 };
  int m_nType = kUnallocated;
  int m_nIndex = -1;  // memory slot or disk block; -1 when unallocated
};

// The blocks of one pixel store, each `units` configured blocks long.
class CVmHandle {
 public:
  explicit CVmHandle(int blocks, int units = 1);
  int GetBlockCount() const { return m_nBlocks; }
  int GetUnits() const { return m_nUnits; }
  int GetType(int i) const { return m_pBlocks[i].m_nType; }
  int GetSlotIndex(int i) const { return m_pBlocks[i].m_nIndex; }
  void Set(int i, int state, int index) {
    m_pBlocks[i].m_nType = state;
    m_pBlocks[i].m_nIndex = index;
  }

 private:
  int m_nBlocks;
  int m_nUnits;
  std::unique_ptr<CVmBlock[]> m_pBlocks;
};

// One memory slot.
class CVmMemory {
 public:
  void* m_pMemory = nullptr;            // null when free
  std::uint64_t m_nStamp = UINT64_MAX;  // last use; all ones when free
  CVmHandle* m_pHandle = nullptr;       // owner; null when free
  int m_nBlock = -1;                    // block number within the owner
  int m_nDiskBlock = -1;                // first disk block of a copy, -1 when none
  int m_nUnits = 1;                     // configured blocks this slot's block spans
  int m_bModified = 0;                  // the copy is current when 0
  int m_nLock = 0;                      // pinned in memory while above 0
};

// The settings record exchanged with a settings dialog.
struct VMSTATUS {
  int nBlockSize = 0;            // KB
  int nMemoryRatio = 0;          // percent
  int nReservedMemory = 0;       // MB, -1 automatic
  int nMinMemorySize = 0;        // MB
  int nMaxDiskSize = 0;          // MB
  int nGlobalDiskSizeLimit = 0;  // MB
  std::string szDirectory;       // the swap folder in use
  std::string szDrive;           // the configured swap folder ("VMDrive"), may be empty
};

class CVmManager {
 public:
  // Reads the settings and sets up the memory budget and the swap file.
  CVmManager();
  ~CVmManager();
  CVmManager(const CVmManager&) = delete;
  CVmManager& operator=(const CVmManager&) = delete;

  // A new handle of n blocks of `units` configured blocks each, or null when capacity is
  // short, a block could never be brought into memory (more units than the budget) or a
  // block cannot be placed. Its blocks read as zeros, as fresh memory does, unless cleared
  // is false: a block that reuses memory then holds what it held.
  CVmHandle* Alloc(int n, ProgressSink* progress = nullptr, const std::string& caption = {},
                   int units = 1, bool cleared = true);
  // Returns all blocks of a handle and deletes it. Null is allowed.
  void Free(CVmHandle* handle);
  // The memory of a block (units × GetBlockSize() bytes), brought in from disk when
  // needed; null on failure. With readOnly 0 the block is marked modified.
  void* GetBlockOnMemory(CVmHandle* handle, int block, int readOnly);
  // Raises (lock non-zero) or lowers the lock count of block i; 0 when not in memory.
  int LockBlock(CVmHandle* handle, int lock, int i);
  // Clears the lock count of every block of the handle that is in memory.
  void UnlockAll(CVmHandle* handle);
  // True when handle is null or none of its blocks is on disk.
  bool IsOnMemory(const CVmHandle* handle) const;
  std::size_t GetBlockSize() const { return m_nBlockSize; }
  // The memory budget: slots × block size, in bytes. Readers keep what they hold outside
  // the pager (decoder buffers, whole files) within it.
  std::uint64_t GetMemoryBudget() const {
    return static_cast<std::uint64_t>(m_nSlots) * m_nBlockSize;
  }

  static void GetVmStatus(VMSTATUS* status);
  static void GetVmStatusDefault(VMSTATUS* status);
  static void WriteVmStatus(const VMSTATUS* status);
  // Blocks created in the swap file × block size, in bytes.
  static std::int64_t GetCurrentSwapSize();
  // Removes named swap files that runs killed at the wrong moment left behind.
  static void DeleteAllSwapFiles();

  // The pager of the process, created on first use.
  static CVmManager& Instance();
  // Recreates the process pager from the current settings. Only while no handle is out
  // (tests use it to shrink the budget).
  static void Restart();

  // Physical memory as the budget sees it, in bytes.
  struct MemoryFigures {
    std::int64_t total = 0;          // physical memory, cut to the cgroup limit
    std::int64_t available = 0;      // what can be had without swapping, within that limit
    std::int64_t cached = 0;         // page cache
    std::int64_t kernel = 0;         // slab, kernel stacks and page tables
    bool haveKernelFigures = false;  // cached and kernel came from the meminfo file
    std::int64_t cgroupLimit = 0;    // the memory limit of the process's cgroup, 0 when none
  };
  // Reads a meminfo file and the cgroup memory files under cgroupRoot (v2 first, then v1).
  // Without a readable meminfo, total and available come from sysconf.
  static MemoryFigures QueryMemory(const std::string& meminfoPath = "/proc/meminfo",
                                   const std::string& cgroupRoot = "/sys/fs/cgroup");
  // The memory budget in bytes from the figures and the settings (percent, MB, MB).
  // *usedKernelFigures tells whether the reserve was derived from the kernel figures.
  static std::int64_t ComputeMemoryBudget(const MemoryFigures& memory, int memoryRatio,
                                          int reservedMB, int minMemoryMB,
                                          bool* usedKernelFigures = nullptr);

  // Fault injection for tests: called before each swap-file and block-memory call with
  // its name ("O_TMPFILE", "mkstemp", "ftruncate", "pread", "pwrite", "mmap"). A non-zero
  // result fails that call with the returned errno value. Null removes the hook.
  using IoFaultHook = int (*)(const char* op);
  static void SetIoFaultHook(IoFaultHook hook);

  // What the pager is doing, for tests and benchmarks. Slots and blocks are counted in
  // units of the configured block size.
  int GetSlotCount() const { return m_nSlots; }
  int GetSlotsInUse() const { return m_nSlotsInUse; }
  int GetDiskBlockLimit() const { return m_nDiskBlockLimit; }
  int GetDiskBlocksCreated() const { return m_nDiskBlocksCreated; }
  int GetBlocksHandedOut() const { return m_nBlocksHandedOut; }
  std::uint64_t GetDiskWrites() const { return m_nDiskWrites; }
  std::uint64_t GetDiskReads() const { return m_nDiskReads; }
  const std::string& GetSwapDirectory() const { return m_strDirectory; }
  bool HasSwapFile() const { return m_nSwapFd >= 0; }

  static int m_nGlobalDiskSizeLimit;  // MB of swap found at start

 private:
  // (implementation members)
  std::size_t m_nBlockSize = 0;
  int m_nSlots = 0;
  int m_nSlotsInUse = 0;
  std::vector<CVmMemory> m_Slots;
  std::vector<int> m_FreeSlots;
  // Mappings of one unit kept after page-outs and frees for the next block to reuse, at
  // most this many bytes of them, and never so many that they and the slots in use
  // together pass the budget.
  static constexpr std::size_t kMaxSpareBytes = std::size_t{64} << 20;
  std::size_t m_nMaxSpareBlocks = 0;
  std::vector<void*> m_SpareMemory;
  std::uint64_t m_nUseCounter = 0;
  int m_nDiskBlockLimit = 0;
  int m_nDiskBlocksCreated = 0;
  std::vector<std::int64_t> m_DiskOffsets;
  std::vector<int> m_FreeDiskBlocks;
  int m_nSwapFd = -1;
  int m_nBlocksHandedOut = 0;
  int m_nSetBlockSizeKB = 0;
  int m_nSetMemoryRatio = 0;
  int m_nSetReservedMemory = 0;
  int m_nSetMinMemory = 0;
  int m_nSetMaxDiskSize = 0;
  std::string m_strDirectory;
  std::string m_strDrive;
  bool m_bAlignWarned = false;
  std::uint64_t m_nDiskWrites = 0;
  std::uint64_t m_nDiskReads = 0;

  void OpenSwapFile();
  bool EnsureFreeSlot();
  // A memory slot for the block; a reused spare mapping is cleared when zeroReused.
  int TakeSlot(CVmHandle* handle, int block, bool zeroReused = false);
  void ReleaseSlot(int slot, bool keepSpare = true);
  // Unmaps spare mappings until they and `units` more in use fit the budget.
  void TrimSpares(int units);
  bool AllocBlock(CVmHandle* handle, int block, bool cleared);
  void FreeBlock(CVmHandle* handle, int block);
  int AppendDiskBlock();
  int TakeDiskRun(int units);
  void FreeDiskRun(int first, int units);
  bool PageOut();
  bool PageOutFor(int units);
  bool DeleteDuplicateBlock();
  bool WriteDiskBlock(int disk, const void* memory, int units);
  bool ReadDiskBlock(int disk, void* memory, int units);
  std::size_t Bytes(int units) const { return static_cast<std::size_t>(units) * m_nBlockSize; }
  bool OwnsSlot(const CVmHandle* handle, int block, int slot) const;
};
