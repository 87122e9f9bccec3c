// The pager: budget and settings, allocation and its refusal rule, paging least recently
// used first with clean blocks written once, locks, swap-file failures, leftover files.
// Each case builds its own pager from settings written into a temporary settings folder;
// "MemoryRatio" 0 makes the budget exactly "MinMemorySize" MB, which fixes the slot count.
#include "imagemodel/vmmanager.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/progress.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSection = "VMManager";

void SetInt(const char* name, int value) {
  ASSERT_EQ(CRegistry::Write(kSection, name, value, CRegistry::TYPE_INT), 1) << name;
}

std::string Stored(const char* name) {
  std::string v;
  CRegistry::Read(kSection, name, "<missing>", v);
  return v;
}

// A block's content: words that depend on the seed and the position, so that a block
// read from the wrong place, or half of one, never passes.
std::uint32_t Word(std::uint32_t seed, std::size_t k) {
  return seed * 2654435761u ^ static_cast<std::uint32_t>(k * 40503u + 17u);
}

void Fill(void* memory, std::size_t bytes, std::uint32_t seed) {
  auto* w = static_cast<std::uint32_t*>(memory);
  for (std::size_t k = 0; k < bytes / 4; ++k) w[k] = Word(seed, k);
}

bool Holds(const void* memory, std::size_t bytes, std::uint32_t seed) {
  if (!memory) return false;
  const auto* w = static_cast<const std::uint32_t*>(memory);
  for (std::size_t k = 0; k < bytes / 4; ++k)
    if (w[k] != Word(seed, k)) return false;
  return true;
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Sets or clears an environment variable for the lifetime of the guard.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* prev = std::getenv(name)) {
      had_ = true;
      previous_ = prev;
    }
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_)
      ::setenv(name_.c_str(), previous_.c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::string previous_;
  bool had_ = false;
};

// What the fault hook fails: every call named `op` fails with `error`. `seen` lists each
// call the pager announced.
struct FaultPlan {
  std::string op;
  int error = 0;
  std::vector<std::string> seen;
};
FaultPlan g_plan;

int PlannedFault(const char* op) {
  g_plan.seen.emplace_back(op);
  return g_plan.op == op ? g_plan.error : 0;
}

void FailEvery(const std::string& op, int error) {
  g_plan.op = op;
  g_plan.error = error;
}

class VmManagerTest : public ::testing::Test {
 protected:
  VmManagerTest() {
    g_plan = FaultPlan{};
    CVmManager::SetIoFaultHook(PlannedFault);
  }
  ~VmManagerTest() override { CVmManager::SetIoFaultHook(nullptr); }

  // A pager of 1 MB / blockKB slots that swaps into swap_.
  void Configure(int blockKB, int maxDiskMB = 8000) {
    SetInt("BlockSize", blockKB);
    SetInt("MemoryRatio", 0);
    SetInt("MinMemorySize", 1);
    SetInt("MaxDiskSize", maxDiskMB);
    ASSERT_EQ(CRegistry::Write(kSection, "VMDrive", swap_.path()), 1);
  }

  // Writes a seed's pattern into a block and remembers the seed.
  void Put(CVmManager& vm, CVmHandle* h, int block, std::uint32_t seed) {
    void* p = vm.GetBlockOnMemory(h, block, 0);
    ASSERT_NE(p, nullptr) << "block " << block;
    Fill(p, vm.GetBlockSize(), seed);
  }
  bool Has(CVmManager& vm, CVmHandle* h, int block, std::uint32_t seed) {
    return Holds(vm.GetBlockOnMemory(h, block, 1), vm.GetBlockSize(), seed);
  }

  ScopedConfigHome home_;
  TempDir swap_;
};

// Runs body in a forked child, so that process-wide limits it sets stay there. The body
// returns what went wrong, or an empty text.
std::string RunInChild(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed";
  pid_t pid = ::fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    ::close(fds[0]);
    std::string problem = body();
    int rc = WriteAll(fds[1], problem.data(), problem.size());
    ::_exit(problem.empty() && rc == 0 ? 0 : 1);
  }
  ::close(fds[1]);
  std::string problem;
  char buf[512];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    problem.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return "waitpid failed";
  if (!problem.empty()) return problem;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "child ended with status " + std::to_string(status);
  return {};
}

#define CHILD_CHECK(cond)                                                \
  do {                                                                   \
    if (!(cond)) return "line " + std::to_string(__LINE__) + ": " #cond; \
  } while (0)

}  // namespace

// --- Settings, budget and physical memory ----------------------------------------------

TEST_F(VmManagerTest, BlockSizeOutsideOneTo4096KBFallsBackTo256KB) {
  Configure(100);
  struct Case {
    int kb;
    std::size_t bytes;
  };
  for (Case c : {Case{0, 262144}, Case{5000, 262144}, Case{-1, 262144}, Case{4097, 262144},
                 Case{1, 1024}, Case{4096, 4194304}, Case{100, 102400}}) {
    SetInt("BlockSize", c.kb);
    CVmManager vm;
    EXPECT_EQ(vm.GetBlockSize(), c.bytes) << c.kb;
  }
}

TEST_F(VmManagerTest, MinimumMemoryFixesTheSlotCountAndIsRecorded) {
  Configure(100);
  SetInt("ReservedMemory", 100);  // a fixed reserve: the kernel figures are not consulted
  {
    CVmManager vm;
    EXPECT_EQ(vm.GetSlotCount(), 10);  // 1 MB of 100 KB blocks
    EXPECT_EQ(vm.GetSlotsInUse(), 0);
    EXPECT_EQ(Stored("AquiredMemory"), "1");
  }
  SetInt("MinMemorySize", 3);
  SetInt("ReservedMemory", -1);
  CVmManager vm;
  EXPECT_EQ(vm.GetSlotCount(), 30);
  if (CVmManager::QueryMemory().haveKernelFigures)
    EXPECT_EQ(Stored("AquiredMemory"), "3(meminfo)");
  else
    EXPECT_EQ(Stored("AquiredMemory"), "3");
}

TEST(VmManagerBudget, FollowsTheReserveRatioCapAndFloor) {
  constexpr std::int64_t MiB = 1048576;
  CVmManager::MemoryFigures m;
  m.total = 8192 * MiB;
  m.available = 6144 * MiB;
  m.cached = 1024 * MiB;
  m.kernel = 512 * MiB;
  m.haveKernelFigures = true;
  CVmManager::MemoryFigures plain = m;
  plain.haveKernelFigures = false;
  CVmManager::MemoryFigures idle = plain;
  idle.available = m.total - 10 * MiB;
  CVmManager::MemoryFigures noKernel = m;
  noKernel.kernel = 0;

  struct Case {
    const char* what;
    CVmManager::MemoryFigures mem;
    int ratio, reserved, min;
    std::int64_t budget;
    bool usedKernel;
  };
  const Case cases[] = {
      {"kernel figures give the reserve", m, 70, -1, 32, 5637144576, true},
      {"zero reserve is automatic too", m, 70, 0, 32, 5637144576, true},
      {"a set reserve wins", m, 70, 1024, 32, 5261334937, false},
      {"without kernel figures: memory in use", plain, 70, -1, 32, 4509715660, false},
      {"little in use: 32 MB", idle, 70, -1, 32, 5989466112, false},
      {"kernel figures of nothing fall back", noKernel, 70, -1, 32, 4509715660, true},
      {"never more than physical memory", m, 300, -1, 32, 8192 * MiB, true},
      {"the minimum beats the cap", m, 70, -1, 10000, 10000 * MiB, true},
      {"ratio 0 leaves the minimum", m, 0, -1, 5, 5 * MiB, true},
      {"negative ratio leaves the minimum", m, -50, -1, 5, 5 * MiB, true},
      {"nothing below zero", m, -50, -1, -5, 0, true},
      {"a reserve above memory leaves the minimum", m, 70, 9000, 7, 7 * MiB, false},
      {"huge ratio does not overflow", m, INT_MAX, -1, 0, 8192 * MiB, true},
  };
  for (const Case& c : cases) {
    bool usedKernel = !c.usedKernel;
    EXPECT_EQ(CVmManager::ComputeMemoryBudget(c.mem, c.ratio, c.reserved, c.min, &usedKernel),
              c.budget)
        << c.what;
    EXPECT_EQ(usedKernel, c.usedKernel) << c.what;
  }
}

TEST(VmManagerMemory, ReadsMeminfoAndHonoursTheCgroupLimit) {
  constexpr std::int64_t KiB = 1024, GiB = 1024 * 1024 * 1024;
  TempDir dir;
  const std::string meminfo = dir.File("meminfo");
  WriteFileOrDie(meminfo,
                 "MemTotal:        8388608 kB\n"
                 "MemFree:          100000 kB\n"
                 "MemAvailable:    6291456 kB\n"
                 "Buffers:            1000 kB\n"
                 "Cached:          1048576 kB\n"
                 "SwapCached:            0 kB\n"
                 "Slab:             300000 kB\n"
                 "KernelStack:       20000 kB\n"
                 "PageTables:        30000 kB\n"
                 "HugePages_Total:       0\n");
  const std::string none = dir.File("no-cgroup");

  CVmManager::MemoryFigures f = CVmManager::QueryMemory(meminfo, none);
  EXPECT_EQ(f.total, 8 * GiB);
  EXPECT_EQ(f.available, 6 * GiB);
  EXPECT_EQ(f.cached, 1 * GiB);
  EXPECT_EQ(f.kernel, 350000 * KiB);
  EXPECT_TRUE(f.haveKernelFigures);
  EXPECT_EQ(f.cgroupLimit, 0);

  // cgroup v2 without a limit, then with 4 GiB of which 3.5 GiB are used.
  const std::string v2 = dir.File("v2");
  ASSERT_EQ(MakeDirectories(v2), 0);
  WriteFileOrDie(v2 + "/memory.max", "max\n");
  WriteFileOrDie(v2 + "/memory.current", "123\n");
  f = CVmManager::QueryMemory(meminfo, v2);
  EXPECT_EQ(f.total, 8 * GiB);
  EXPECT_EQ(f.available, 6 * GiB);
  EXPECT_EQ(f.cgroupLimit, 0);

  WriteFileOrDie(v2 + "/memory.max", "4294967296\n");
  WriteFileOrDie(v2 + "/memory.current", "3758096384\n");
  f = CVmManager::QueryMemory(meminfo, v2);
  EXPECT_EQ(f.cgroupLimit, 4 * GiB);
  EXPECT_EQ(f.total, 4 * GiB);
  EXPECT_EQ(f.available, GiB / 2);

  // Usage above the limit (it happens briefly) leaves nothing available, not less.
  WriteFileOrDie(v2 + "/memory.current", "5368709120\n");
  EXPECT_EQ(CVmManager::QueryMemory(meminfo, v2).available, 0);

  // cgroup v1: the "unlimited" value is no limit; a real one applies.
  const std::string v1 = dir.File("v1");
  ASSERT_EQ(MakeDirectories(v1 + "/memory"), 0);
  WriteFileOrDie(v1 + "/memory/memory.limit_in_bytes", "9223372036854771712\n");
  WriteFileOrDie(v1 + "/memory/memory.usage_in_bytes", "1073741824\n");
  f = CVmManager::QueryMemory(meminfo, v1);
  EXPECT_EQ(f.cgroupLimit, 0);
  EXPECT_EQ(f.total, 8 * GiB);
  WriteFileOrDie(v1 + "/memory/memory.limit_in_bytes", "2147483648\n");
  f = CVmManager::QueryMemory(meminfo, v1);
  EXPECT_EQ(f.cgroupLimit, 2 * GiB);
  EXPECT_EQ(f.total, 2 * GiB);
  EXPECT_EQ(f.available, GiB);

  // Without the kernel figures the reserve has to come from total and available.
  WriteFileOrDie(meminfo, "MemTotal: 2097152 kB\nMemAvailable: 1048576 kB\n");
  f = CVmManager::QueryMemory(meminfo, none);
  EXPECT_EQ(f.total, 2 * GiB);
  EXPECT_EQ(f.available, GiB);
  EXPECT_FALSE(f.haveKernelFigures);

  // Garbage and a missing file still give the machine's memory, never nonsense.
  WriteFileOrDie(meminfo, "MemTotal: lots\n\n:::\nCached -5 kB\n");
  f = CVmManager::QueryMemory(meminfo, none);
  EXPECT_GT(f.total, 0);
  EXPECT_FALSE(f.haveKernelFigures);
  f = CVmManager::QueryMemory(dir.File("missing"), none);
  EXPECT_GT(f.total, 0);
  EXPECT_GE(f.total, f.available);
}

// --- Allocation -------------------------------------------------------------------------

TEST_F(VmManagerTest, WithoutSwapAllocLeavesTwoSlotsOfHeadroom) {
  // Both ways of having no swap: no disk allowed, and a swap folder that is not there.
  for (int variant = 0; variant < 2; ++variant) {
    SCOPED_TRACE(variant == 0 ? "MaxDiskSize 0" : "missing folder");
    Configure(100, variant == 0 ? 0 : 8000);
    if (variant == 1) {
      ASSERT_EQ(CRegistry::Write(kSection, "VMDrive", swap_.File("not-there")), 1);
    }
    CVmManager vm;
    ASSERT_EQ(vm.GetSlotCount(), 10);
    EXPECT_EQ(vm.GetDiskBlockLimit(), 0);
    if (variant == 1) {
      EXPECT_FALSE(vm.HasSwapFile());
      EXPECT_EQ(CVmManager::m_nGlobalDiskSizeLimit, 0);
    }

    EXPECT_EQ(vm.Alloc(9), nullptr);  // 9 + 2 > 10
    EXPECT_EQ(vm.GetBlocksHandedOut(), 0);
    EXPECT_EQ(vm.GetSlotsInUse(), 0);
    CVmHandle* a = vm.Alloc(8);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(vm.GetBlocksHandedOut(), 8);
    EXPECT_EQ(vm.GetSlotsInUse(), 8);
    EXPECT_TRUE(vm.IsOnMemory(a));
    EXPECT_EQ(vm.Alloc(1), nullptr);
    vm.Free(a);
    EXPECT_EQ(vm.GetBlocksHandedOut(), 0);
    CVmHandle* b = vm.Alloc(8);
    EXPECT_NE(b, nullptr);
    vm.Free(b);
    EXPECT_EQ(vm.Alloc(-1), nullptr);
  }
}

TEST_F(VmManagerTest, BlocksBeyondTheSlotsAreBornOnDisk) {
  Configure(256);  // 4 slots
  CVmManager vm;
  ASSERT_TRUE(vm.HasSwapFile());
  CVmHandle* h = vm.Alloc(6);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(h->GetBlockCount(), 6);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(h->GetType(i), CVmBlock::kInMemory) << i;
  for (int i = 4; i < 6; ++i) EXPECT_EQ(h->GetType(i), CVmBlock::kOnDisk) << i;
  EXPECT_FALSE(vm.IsOnMemory(h));
  EXPECT_TRUE(vm.IsOnMemory(nullptr));
  EXPECT_EQ(vm.GetSlotsInUse(), 4);
  EXPECT_EQ(vm.GetDiskBlocksCreated(), 2);
  EXPECT_EQ(vm.GetDiskWrites(), 0u);  // a block born on disk has no content to write
  vm.Free(h);
}

TEST_F(VmManagerTest, FreeReturnsSlotsAndDiskBlocksForReuse) {
  Configure(256);
  CVmManager vm;
  CVmHandle* a = vm.Alloc(7);
  ASSERT_NE(a, nullptr);
  Put(vm, a, 5, 1);  // pages one block out, so a clean and a disk-copy slot exist too
  EXPECT_EQ(vm.GetDiskBlocksCreated(), 4);
  vm.Free(a);
  EXPECT_EQ(vm.GetSlotsInUse(), 0);
  EXPECT_EQ(vm.GetBlocksHandedOut(), 0);

  CVmHandle* b = vm.Alloc(7);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(vm.GetSlotsInUse(), 4);
  Put(vm, b, 5, 2);  // the page-out takes the last of the four freed disk blocks
  EXPECT_EQ(vm.GetDiskBlocksCreated(), 4) << "freed disk blocks are used again";
  EXPECT_TRUE(Has(vm, b, 5, 2));
  vm.Free(b);
  vm.Free(nullptr);
  EXPECT_EQ(vm.GetSlotsInUse(), 0);
}

// Freed memory is kept for the next allocation (a batch run frees one frame and reads the
// next), yet a new block still reads as zeros, as a fresh mapping does.
TEST_F(VmManagerTest, NewBlocksReadAsZerosWhenFreedMemoryIsReused) {
  Configure(256);
  CVmManager vm;
  for (int round = 0; round < 3; ++round) {
    CVmHandle* h = vm.Alloc(4);
    ASSERT_NE(h, nullptr);
    for (int i = 0; i < 4; ++i) {
      ASSERT_EQ(h->GetType(i), CVmBlock::kInMemory);
      const auto* p = static_cast<const unsigned char*>(vm.GetBlockOnMemory(h, i, 1));
      ASSERT_NE(p, nullptr);
      EXPECT_TRUE(std::all_of(p, p + vm.GetBlockSize(), [](unsigned char c) { return c == 0; }))
          << "round " << round << ", block " << i;
      Put(vm, h, i, 7 + static_cast<std::uint32_t>(i));
    }
    vm.Free(h);
    EXPECT_EQ(vm.GetSlotsInUse(), 0);
  }
  EXPECT_EQ(vm.GetDiskWrites(), 0u);
}

TEST_F(VmManagerTest, AllocReportsProgressFromCaptionToEnd) {
  Configure(16);  // 64 slots
  CVmManager vm;
  using K = RecordingProgress::Kind;

  RecordingProgress four;
  CVmHandle* a = vm.Alloc(4, &four, "確保中");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(four.events.size(), 6u);
  EXPECT_EQ(four.events[0].kind, K::kBegin);
  EXPECT_EQ(four.events[0].caption, "確保中");
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(four.events[1 + i].kind, K::kPercent);
    EXPECT_EQ(four.events[1 + i].percent, (i + 1) * 25);
  }
  EXPECT_EQ(four.events[5].kind, K::kEnd);

  // Many blocks: each whole percentage once, rising to 100.
  RecordingProgress many;
  CVmHandle* b = vm.Alloc(300, &many, "many");
  ASSERT_NE(b, nullptr);
  ASSERT_GE(many.events.size(), 3u);
  std::vector<int> percents;
  for (std::size_t i = 1; i + 1 < many.events.size(); ++i) {
    ASSERT_EQ(many.events[i].kind, K::kPercent);
    percents.push_back(many.events[i].percent);
  }
  EXPECT_EQ(many.events.back().kind, K::kEnd);
  ASSERT_EQ(percents.size(), 101u);
  for (int p = 0; p <= 100; ++p) EXPECT_EQ(percents[p], p);

  // Refused before any block: nothing to report.
  RecordingProgress refused;
  EXPECT_EQ(vm.Alloc(1 << 30, &refused, "too much"), nullptr);
  EXPECT_TRUE(refused.events.empty());

  // Silent without a sink.
  CVmHandle* c = vm.Alloc(3, nullptr, "ignored");
  EXPECT_NE(c, nullptr);
  vm.Free(a);
  vm.Free(b);
  vm.Free(c);
}

TEST_F(VmManagerTest, FailedAllocLeavesNothingAllocated) {
  Configure(256);  // 4 slots
  CVmManager vm;
  CVmHandle* keep = vm.Alloc(1);
  ASSERT_NE(keep, nullptr);
  Put(vm, keep, 0, 77);

  // The swap file cannot grow: the first new block beyond the free slots has nowhere to go.
  FailEvery("ftruncate", EFBIG);
  RecordingProgress progress;
  EXPECT_EQ(vm.Alloc(6, &progress, "cap"), nullptr);
  EXPECT_EQ(vm.GetBlocksHandedOut(), 1);
  EXPECT_EQ(vm.GetSlotsInUse(), 1);
  EXPECT_EQ(vm.GetDiskBlocksCreated(), 0);
  ASSERT_FALSE(progress.events.empty());
  EXPECT_EQ(progress.events.front().kind, RecordingProgress::Kind::kBegin);
  EXPECT_EQ(progress.events.back().kind, RecordingProgress::Kind::kEnd);
  EXPECT_TRUE(Has(vm, keep, 0, 77));

  // Once the file can grow the same request succeeds, and the three freed slots serve it.
  FailEvery("", 0);
  CVmHandle* h = vm.Alloc(6);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(vm.GetSlotsInUse(), 4);
  EXPECT_EQ(vm.GetBlocksHandedOut(), 7);
  EXPECT_EQ(vm.GetDiskBlocksCreated(), 3);
  vm.Free(h);
  vm.Free(keep);
}

TEST_F(VmManagerTest, UnmappableMemoryPutsNewBlocksOnDisk) {
  Configure(256);
  CVmManager vm;
  FailEvery("mmap", ENOMEM);
  CVmHandle* h = vm.Alloc(2);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetType(0), CVmBlock::kOnDisk);
  EXPECT_EQ(h->GetType(1), CVmBlock::kOnDisk);
  EXPECT_EQ(vm.GetSlotsInUse(), 0);
  EXPECT_EQ(vm.GetBlockOnMemory(h, 0, 0), nullptr) << "no memory to bring it into";
  EXPECT_EQ(h->GetType(0), CVmBlock::kOnDisk);
  FailEvery("", 0);
  Put(vm, h, 0, 5);
  EXPECT_TRUE(Has(vm, h, 0, 5));
  vm.Free(h);
}

TEST_F(VmManagerTest, PagingReusesTheMemoryOfTheBlockItPutOut) {
  Configure(512);  // 2 slots
  CVmManager vm;
  CVmHandle* h = vm.Alloc(4);
  ASSERT_NE(h, nullptr);
  for (int i = 0; i < 4; ++i) Put(vm, h, i, 100 + i);
  // From here on no new mapping may be made: each block brought in takes the memory of
  // the one paged out for it.
  FailEvery("mmap", ENOMEM);
  for (int round = 0; round < 3; ++round)
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(Has(vm, h, i, 100 + i)) << round << "," << i;
  EXPECT_EQ(vm.GetSlotsInUse(), 2);
  FailEvery("", 0);
  vm.Free(h);
  EXPECT_EQ(vm.GetSlotsInUse(), 0);
}

TEST_F(VmManagerTest, BadArgumentsAreRefusedQuietly) {
  Configure(256);
  CVmManager vm;
  CVmHandle* h = vm.Alloc(5);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(vm.GetBlockOnMemory(nullptr, 0, 1), nullptr);
  EXPECT_EQ(vm.GetBlockOnMemory(h, -1, 1), nullptr);
  EXPECT_EQ(vm.GetBlockOnMemory(h, 5, 1), nullptr);
  EXPECT_EQ(vm.LockBlock(nullptr, 1, 0), 0);
  EXPECT_EQ(vm.LockBlock(h, 1, 5), 0);
  EXPECT_EQ(vm.LockBlock(h, 1, 4), 0) << "block 4 is on disk";
  vm.UnlockAll(nullptr);
  CVmHandle* empty = vm.Alloc(0);
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(vm.IsOnMemory(empty));
  vm.Free(empty);
  vm.Free(h);
  EXPECT_EQ(vm.GetBlocksHandedOut(), 0);
}

// --- Paging -----------------------------------------------------------------------------

TEST_F(VmManagerTest, CleanBlocksAreWrittenOnceAndModifiedOnesAgain) {
  Configure(512);  // 2 slots
  CVmManager vm;
  ASSERT_EQ(vm.GetSlotCount(), 2);
  CVmHandle* a = vm.Alloc(1);
  CVmHandle* b = vm.Alloc(2);
  ASSERT_TRUE(a && b);
  Put(vm, a, 0, 10);
  Put(vm, b, 0, 20);
  Put(vm, b, 1, 21);  // on disk: brings it in and pages `a` out
  EXPECT_EQ(a->GetType(0), CVmBlock::kOnDisk);
  EXPECT_EQ(vm.GetDiskWrites(), 1u);

  struct Ref {
    CVmHandle* h;
    int block;
    std::uint32_t seed;
  };
  const Ref cycle[] = {{a, 0, 10}, {b, 0, 20}, {b, 1, 21}};
  // Three blocks through two slots: every read-only access brings a block in.
  for (const Ref& r : cycle) ASSERT_TRUE(Has(vm, r.h, r.block, r.seed));
  EXPECT_EQ(vm.GetDiskWrites(), 3u) << "each block written exactly once";
  const std::uint64_t reads = vm.GetDiskReads();
  for (int k = 0; k < 30; ++k) {
    const Ref& r = cycle[k % 3];
    ASSERT_TRUE(Has(vm, r.h, r.block, r.seed)) << k;
  }
  EXPECT_EQ(vm.GetDiskWrites(), 3u) << "clean blocks with a disk copy are dropped";
  EXPECT_EQ(vm.GetDiskReads(), reads + 30);
  EXPECT_EQ(vm.GetDiskBlocksCreated(), 3);

  // A block changed after coming in is written again, once.
  Put(vm, a, 0, 11);
  ASSERT_TRUE(Has(vm, b, 0, 20));
  ASSERT_TRUE(Has(vm, b, 1, 21));
  EXPECT_EQ(a->GetType(0), CVmBlock::kOnDisk);
  EXPECT_EQ(vm.GetDiskWrites(), 4u);
  EXPECT_TRUE(Has(vm, a, 0, 11));
  EXPECT_EQ(vm.GetDiskBlocksCreated(), 3);
  vm.Free(a);
  vm.Free(b);
}

TEST_F(VmManagerTest, TheLeastRecentlyUsedUnlockedBlockGoesOut) {
  Configure(256);  // 4 slots
  CVmManager vm;
  CVmHandle* h = vm.Alloc(4);
  CVmHandle* g = vm.Alloc(3);
  ASSERT_TRUE(h && g);
  for (int i : {2, 0, 3, 1}) ASSERT_NE(vm.GetBlockOnMemory(h, i, 1), nullptr);

  auto onDisk = [&] {
    std::set<int> out;
    for (int i = 0; i < 4; ++i)
      if (h->GetType(i) == CVmBlock::kOnDisk) out.insert(i);
    return out;
  };
  ASSERT_NE(vm.GetBlockOnMemory(g, 0, 1), nullptr);
  EXPECT_EQ(onDisk(), (std::set<int>{2}));
  ASSERT_NE(vm.GetBlockOnMemory(g, 1, 1), nullptr);
  EXPECT_EQ(onDisk(), (std::set<int>{0, 2}));

  // Block 3 is now the oldest; pinned, it is passed over for block 1.
  EXPECT_EQ(vm.LockBlock(h, 1, 3), 1);
  ASSERT_NE(vm.GetBlockOnMemory(g, 2, 1), nullptr);
  EXPECT_EQ(onDisk(), (std::set<int>{0, 1, 2}));
  EXPECT_EQ(vm.LockBlock(h, 1, 1), 0) << "not in memory";

  // Using a block makes it the newest: g0 is older than g1 and g2, but touched last.
  ASSERT_NE(vm.GetBlockOnMemory(g, 0, 1), nullptr);
  ASSERT_NE(vm.GetBlockOnMemory(h, 0, 1), nullptr);
  EXPECT_EQ(g->GetType(1), CVmBlock::kOnDisk);
  EXPECT_EQ(g->GetType(0), CVmBlock::kInMemory);
  EXPECT_EQ(h->GetType(3), CVmBlock::kInMemory);
  vm.Free(h);
  vm.Free(g);
}

TEST_F(VmManagerTest, LockedBlocksStayAndBlockBringingInUntilUnlocked) {
  Configure(256);  // 4 slots
  CVmManager vm;
  CVmHandle* h = vm.Alloc(4);
  CVmHandle* g = vm.Alloc(1);
  ASSERT_TRUE(h && g);
  for (int i = 0; i < 4; ++i) Put(vm, h, i, 100 + i);

  // An unlock without a lock leaves no debt: the next lock pins the block.
  EXPECT_EQ(vm.LockBlock(h, 0, 0), 1);
  EXPECT_EQ(vm.LockBlock(h, 0, 0), 1);
  EXPECT_EQ(vm.LockBlock(h, 1, 0), 1);
  // Nested locks need as many unlocks.
  EXPECT_EQ(vm.LockBlock(h, 1, 1), 1);
  EXPECT_EQ(vm.LockBlock(h, 1, 1), 1);
  EXPECT_EQ(vm.LockBlock(h, 0, 1), 1);
  EXPECT_EQ(vm.LockBlock(h, 1, 2), 1);
  EXPECT_EQ(vm.LockBlock(h, 1, 3), 1);

  const std::uint64_t writes = vm.GetDiskWrites();
  EXPECT_EQ(vm.GetBlockOnMemory(g, 0, 0), nullptr);
  EXPECT_EQ(g->GetType(0), CVmBlock::kOnDisk);
  EXPECT_TRUE(vm.IsOnMemory(h));
  EXPECT_EQ(vm.GetSlotsInUse(), 4);
  EXPECT_EQ(vm.GetDiskWrites(), writes);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(Has(vm, h, i, 100 + i)) << i;

  vm.UnlockAll(h);
  Put(vm, g, 0, 200);
  EXPECT_FALSE(vm.IsOnMemory(h));
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(Has(vm, h, i, 100 + i)) << i;
  EXPECT_TRUE(Has(vm, g, 0, 200));
  vm.Free(h);
  vm.Free(g);
}

TEST_F(VmManagerTest, ManyBlocksReadBackExactlyInAnyOrder) {
  Configure(256);  // 4 slots, 40 blocks
  CVmManager vm;
  constexpr int kBlocks = 40;
  CVmHandle* h = vm.Alloc(kBlocks);
  ASSERT_NE(h, nullptr);
  std::vector<std::uint32_t> seed(kBlocks);
  for (int i = 0; i < kBlocks; ++i) {
    seed[i] = 1000 + i;
    Put(vm, h, i, seed[i]);
  }
  auto checkAll = [&](const std::vector<int>& order) {
    for (int i : order) ASSERT_TRUE(Has(vm, h, i, seed[i])) << "block " << i;
  };
  std::vector<int> forward, backward, strided;
  for (int i = 0; i < kBlocks; ++i) {
    forward.push_back(i);
    backward.push_back(kBlocks - 1 - i);
    strided.push_back(i * 7 % kBlocks);
  }
  checkAll(forward);
  checkAll(backward);
  checkAll(strided);
  for (int i = 0; i < kBlocks; i += 3) {
    seed[i] += 5000;
    Put(vm, h, i, seed[i]);
  }
  checkAll(backward);
  checkAll(forward);
  EXPECT_LE(vm.GetDiskBlocksCreated(), kBlocks);
  vm.Free(h);
}

TEST_F(VmManagerTest, BringingInGivesUpADuplicateWhenTheSwapFileIsFull) {
  Configure(256, 1);  // 4 slots, 4 disk blocks: at most 6 blocks out
  CVmManager vm;
  ASSERT_EQ(vm.GetDiskBlockLimit(), 4);
  EXPECT_EQ(vm.Alloc(7), nullptr);
  CVmHandle* h = vm.Alloc(6);
  ASSERT_NE(h, nullptr);
  for (int i = 0; i < 6; ++i) Put(vm, h, i, 300 + i);
  // Every page-out now needs a disk block; the file is full of blocks and copies, so
  // copies of blocks in memory have to be given up.
  for (int round = 0; round < 5; ++round)
    for (int i : {0, 1, 2, 3, 4, 5, 3, 1})
      ASSERT_TRUE(Has(vm, h, i, 300 + i)) << "round " << round << " block " << i;
  EXPECT_EQ(vm.GetDiskBlocksCreated(), 4);
  vm.Free(h);
}

TEST_F(VmManagerTest, AllocOnAFullSwapFileTakesTheDiskBlockOfADuplicate) {
  Configure(256, 2);  // 4 slots, 8 disk blocks: at most 10 blocks out
  CVmManager vm;
  CVmHandle* h = vm.Alloc(7);
  ASSERT_NE(h, nullptr);
  for (int i = 0; i < 7; ++i) Put(vm, h, i, 400 + i);
  // Read everything back so that the blocks in memory also hold disk copies.
  for (int i = 0; i < 7; ++i) ASSERT_TRUE(Has(vm, h, i, 400 + i));
  for (int i = 3; i < 7; ++i) ASSERT_TRUE(Has(vm, h, i, 400 + i));
  EXPECT_EQ(vm.GetDiskBlocksCreated(), 7);

  std::vector<CVmHandle*> more;
  for (int k = 0; k < 3; ++k) {
    CVmHandle* m = vm.Alloc(1);
    ASSERT_NE(m, nullptr) << k;
    more.push_back(m);
  }
  EXPECT_EQ(vm.Alloc(1), nullptr) << "10 blocks out is the most";
  EXPECT_EQ(vm.GetDiskBlocksCreated(), 8);
  for (int k = 0; k < 3; ++k) Put(vm, more[k], 0, 500 + k);
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 7; ++i) ASSERT_TRUE(Has(vm, h, i, 400 + i)) << i;
    for (int k = 0; k < 3; ++k) ASSERT_TRUE(Has(vm, more[k], 0, 500 + k)) << k;
  }
  EXPECT_EQ(vm.GetDiskBlocksCreated(), 8);
  for (CVmHandle* m : more) vm.Free(m);
  vm.Free(h);
}

// A random mix of allocations, frees, reads and writes against a copy of what each block
// should hold, with the bookkeeping checked after every step.
TEST_F(VmManagerTest, RandomWorkloadKeepsEveryByteAndTheBooks) {
  Configure(256, 4);  // 4 slots, 16 disk blocks
  CVmManager vm;
  const int capacity = vm.GetSlotCount() + vm.GetDiskBlockLimit();
  std::mt19937 rng(20240611);
  std::map<CVmHandle*, std::vector<std::uint32_t>> shadow;
  std::uint32_t nextSeed = 1;
  int handedOut = 0;

  for (int step = 0; step < 1500; ++step) {
    SCOPED_TRACE(step);
    const int op = static_cast<int>(rng() % 10);
    if (op == 0 || shadow.empty()) {
      const int n = 1 + static_cast<int>(rng() % 6);
      CVmHandle* h = vm.Alloc(n);
      const bool fits = handedOut + n + 2 <= capacity;
      ASSERT_EQ(h != nullptr, fits) << "n=" << n << " out=" << handedOut;
      if (h) {
        shadow[h] = std::vector<std::uint32_t>(n, 0);
        handedOut += n;
      }
    } else if (op == 1) {
      auto it = std::next(shadow.begin(), static_cast<long>(rng() % shadow.size()));
      handedOut -= static_cast<int>(it->second.size());
      vm.Free(it->first);
      shadow.erase(it);
    } else {
      auto it = std::next(shadow.begin(), static_cast<long>(rng() % shadow.size()));
      const int block = static_cast<int>(rng() % it->second.size());
      std::uint32_t& seed = it->second[block];
      if (op < 5 || seed == 0) {
        seed = nextSeed++;
        Put(vm, it->first, block, seed);
      } else {
        ASSERT_TRUE(Has(vm, it->first, block, seed));
      }
    }

    // Every block is in exactly one place, and the counts agree.
    ASSERT_EQ(vm.GetBlocksHandedOut(), handedOut);
    std::set<int> slots, disks;
    int inMemory = 0;
    for (const auto& [h, seeds] : shadow) {
      for (int i = 0; i < h->GetBlockCount(); ++i) {
        if (h->GetType(i) == CVmBlock::kInMemory) {
          ++inMemory;
          ASSERT_TRUE(slots.insert(h->GetSlotIndex(i)).second);
        } else {
          ASSERT_EQ(h->GetType(i), CVmBlock::kOnDisk);
          ASSERT_TRUE(disks.insert(h->GetSlotIndex(i)).second);
        }
      }
    }
    ASSERT_EQ(inMemory, vm.GetSlotsInUse());
    ASSERT_LE(vm.GetSlotsInUse(), vm.GetSlotCount());
    ASSERT_LE(vm.GetDiskBlocksCreated(), vm.GetDiskBlockLimit());
  }
  for (const auto& [h, seeds] : shadow) {
    for (int i = 0; i < h->GetBlockCount(); ++i) {
      if (seeds[i]) {
        ASSERT_TRUE(Has(vm, h, i, seeds[i]));
      }
    }
    vm.Free(h);
  }
  EXPECT_EQ(vm.GetBlocksHandedOut(), 0);
  EXPECT_EQ(vm.GetSlotsInUse(), 0);
}

// --- Wide blocks (rows longer than a block) ----------------------------------------------

// A block of several units lives in one mapping and one run of the swap file, and costs
// its units of the budget; one wider than the whole budget could never come into memory.
TEST_F(VmManagerTest, WideBlocksTakeUnitsOfMemoryAndRunsOfTheSwapFile) {
  Configure(256);  // 4 slots
  CVmManager vm;
  const std::size_t wide = 3 * vm.GetBlockSize();
  EXPECT_EQ(vm.Alloc(1, nullptr, {}, 5), nullptr) << "5 units never fit 4 slots";
  EXPECT_EQ(vm.Alloc(1, nullptr, {}, 0), nullptr);
  EXPECT_EQ(vm.GetBlocksHandedOut(), 0);

  CVmHandle* h = vm.Alloc(2, nullptr, {}, 3);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetUnits(), 3);
  EXPECT_EQ(vm.GetBlocksHandedOut(), 6);
  EXPECT_EQ(h->GetType(0), CVmBlock::kInMemory);
  EXPECT_EQ(h->GetType(1), CVmBlock::kOnDisk) << "3 + 3 units exceed the 4 slots";
  EXPECT_EQ(vm.GetSlotsInUse(), 3);
  EXPECT_EQ(vm.GetDiskBlocksCreated(), 3);
  CVmHandle* g = vm.Alloc(1);  // the one slot left
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->GetType(0), CVmBlock::kInMemory);

  Fill(vm.GetBlockOnMemory(g, 0, 0), vm.GetBlockSize(), 7);
  Fill(vm.GetBlockOnMemory(h, 0, 0), wide, 1);
  // Bringing in the other wide block pages out both the block of g (least recently used)
  // and the first wide block: three units are needed.
  void* second = vm.GetBlockOnMemory(h, 1, 0);
  ASSERT_NE(second, nullptr);
  Fill(second, wide, 2);
  EXPECT_EQ(h->GetType(0), CVmBlock::kOnDisk);
  EXPECT_EQ(g->GetType(0), CVmBlock::kOnDisk);
  EXPECT_EQ(vm.GetSlotsInUse(), 3);
  EXPECT_EQ(vm.GetDiskWrites(), 2u) << "one write per block, however wide";
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(Holds(vm.GetBlockOnMemory(h, 0, 1), wide, 1)) << round;
    ASSERT_TRUE(Holds(vm.GetBlockOnMemory(g, 0, 1), vm.GetBlockSize(), 7)) << round;
    ASSERT_TRUE(Holds(vm.GetBlockOnMemory(h, 1, 1), wide, 2)) << round;
  }
  ASSERT_LE(vm.GetSlotsInUse(), vm.GetSlotCount());
  vm.Free(g);
  vm.Free(h);
  EXPECT_EQ(vm.GetBlocksHandedOut(), 0);
  EXPECT_EQ(vm.GetSlotsInUse(), 0);
  // Freed runs are used again: a new wide handle does not grow the file.
  const int created = vm.GetDiskBlocksCreated();
  CVmHandle* again = vm.Alloc(2, nullptr, {}, 3);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(vm.GetDiskBlocksCreated(), created);
  vm.Free(again);

  // Without swap the units count against memory alone, with the headroom in units.
  Configure(256, 0);
  CVmManager memoryOnly;
  EXPECT_EQ(memoryOnly.Alloc(1, nullptr, {}, 2), nullptr) << "2 + 2 × 2 > 4";
  CVmHandle* one = memoryOnly.Alloc(1, nullptr, {}, 1);
  EXPECT_NE(one, nullptr);
  memoryOnly.Free(one);
}

// Handles of one to four units side by side, allocated, freed, written and read at
// random through 8 memory slots and a swap file, against a copy of what each block
// holds; after every step each block is in exactly one place and the units add up.
TEST_F(VmManagerTest, MixedWidthsKeepEveryByteAndTheBooks) {
  Configure(128, 8);  // 8 slots of 128 KB, 64 disk blocks
  CVmManager vm;
  ASSERT_EQ(vm.GetSlotCount(), 8);
  ASSERT_EQ(vm.GetDiskBlockLimit(), 64);
  std::mt19937 rng(20250301);
  struct Shadow {
    int units;
    std::vector<std::uint32_t> seeds;
  };
  std::map<CVmHandle*, Shadow> shadow;
  std::uint32_t nextSeed = 1;
  int handedOut = 0;
  const std::size_t unit = vm.GetBlockSize();

  for (int step = 0; step < 1200; ++step) {
    SCOPED_TRACE(step);
    const int op = static_cast<int>(rng() % 10);
    if (op == 0 || shadow.empty()) {
      const int n = 1 + static_cast<int>(rng() % 4), units = 1 + static_cast<int>(rng() % 4);
      // Kept well inside the swap file's limit, where every block finds a run.
      if (handedOut + n * units > 20) continue;
      CVmHandle* h = vm.Alloc(n, nullptr, {}, units);
      ASSERT_NE(h, nullptr) << n << " × " << units << " with " << handedOut << " out";
      shadow[h] = Shadow{units, std::vector<std::uint32_t>(static_cast<std::size_t>(n), 0)};
      handedOut += n * units;
    } else if (op == 1) {
      auto it = std::next(shadow.begin(), static_cast<long>(rng() % shadow.size()));
      handedOut -= static_cast<int>(it->second.seeds.size()) * it->second.units;
      vm.Free(it->first);
      shadow.erase(it);
    } else {
      auto it = std::next(shadow.begin(), static_cast<long>(rng() % shadow.size()));
      const int block = static_cast<int>(rng() % it->second.seeds.size());
      const std::size_t bytes = unit * static_cast<std::size_t>(it->second.units);
      std::uint32_t& seed = it->second.seeds[static_cast<std::size_t>(block)];
      if (op < 5 || seed == 0) {
        seed = nextSeed++;
        void* p = vm.GetBlockOnMemory(it->first, block, 0);
        ASSERT_NE(p, nullptr);
        Fill(p, bytes, seed);
      } else {
        ASSERT_TRUE(Holds(vm.GetBlockOnMemory(it->first, block, 1), bytes, seed));
      }
    }

    ASSERT_EQ(vm.GetBlocksHandedOut(), handedOut);
    std::set<int> slots, disks;
    int unitsInMemory = 0;
    for (const auto& [h, s] : shadow) {
      for (int i = 0; i < h->GetBlockCount(); ++i) {
        if (h->GetType(i) == CVmBlock::kInMemory) {
          unitsInMemory += s.units;
          ASSERT_TRUE(slots.insert(h->GetSlotIndex(i)).second);
        } else {
          ASSERT_EQ(h->GetType(i), CVmBlock::kOnDisk);
          for (int k = 0; k < s.units; ++k)
            ASSERT_TRUE(disks.insert(h->GetSlotIndex(i) + k).second) << "runs overlap";
        }
      }
    }
    ASSERT_EQ(unitsInMemory, vm.GetSlotsInUse());
    ASSERT_LE(vm.GetSlotsInUse(), vm.GetSlotCount());
    ASSERT_LE(vm.GetDiskBlocksCreated(), vm.GetDiskBlockLimit());
    ASSERT_TRUE(disks.empty() || *disks.rbegin() < vm.GetDiskBlocksCreated());
  }
  // The workload went through the swap file, not around it.
  EXPECT_GT(vm.GetDiskWrites(), 100u);
  EXPECT_GT(vm.GetDiskReads(), 100u);
  for (const auto& [h, s] : shadow) {
    for (int i = 0; i < h->GetBlockCount(); ++i) {
      const std::uint32_t seed = s.seeds[static_cast<std::size_t>(i)];
      if (seed) {
        ASSERT_TRUE(Holds(vm.GetBlockOnMemory(h, i, 1), unit * s.units, seed));
      }
    }
    vm.Free(h);
  }
  EXPECT_EQ(vm.GetBlocksHandedOut(), 0);
  EXPECT_EQ(vm.GetSlotsInUse(), 0);
}

// --- Swap-file failures -----------------------------------------------------------------

TEST_F(VmManagerTest, FailedWriteKeepsTheVictimInMemory) {
  Configure(512);  // 2 slots
  CVmManager vm;
  CVmHandle* a = vm.Alloc(1);
  CVmHandle* b = vm.Alloc(1);
  CVmHandle* c = vm.Alloc(1);
  ASSERT_TRUE(a && b && c);
  Put(vm, a, 0, 1);
  Put(vm, b, 0, 2);
  ASSERT_EQ(c->GetType(0), CVmBlock::kOnDisk);

  FailEvery("pwrite", ENOSPC);
  EXPECT_EQ(vm.GetBlockOnMemory(c, 0, 0), nullptr);
  EXPECT_EQ(a->GetType(0), CVmBlock::kInMemory);
  EXPECT_EQ(b->GetType(0), CVmBlock::kInMemory);
  EXPECT_EQ(c->GetType(0), CVmBlock::kOnDisk);
  EXPECT_EQ(vm.GetSlotsInUse(), 2);
  EXPECT_EQ(vm.GetDiskWrites(), 0u);
  EXPECT_TRUE(Has(vm, a, 0, 1));
  EXPECT_TRUE(Has(vm, b, 0, 2));

  FailEvery("", 0);
  Put(vm, c, 0, 3);
  EXPECT_TRUE(Has(vm, a, 0, 1));
  EXPECT_TRUE(Has(vm, b, 0, 2));
  EXPECT_TRUE(Has(vm, c, 0, 3));
  vm.Free(a);
  vm.Free(b);
  vm.Free(c);
}

TEST_F(VmManagerTest, FailedReadLeavesTheBlockOnDiskIntact) {
  Configure(512);  // 2 slots
  CVmManager vm;
  CVmHandle* a = vm.Alloc(1);
  CVmHandle* b = vm.Alloc(1);
  CVmHandle* c = vm.Alloc(1);
  ASSERT_TRUE(a && b && c);
  Put(vm, a, 0, 1);
  Put(vm, b, 0, 2);
  Put(vm, c, 0, 3);  // pages a out
  ASSERT_EQ(a->GetType(0), CVmBlock::kOnDisk);
  const int disk = a->GetSlotIndex(0);

  FailEvery("pread", EIO);
  const std::uint64_t reads = vm.GetDiskReads();
  EXPECT_EQ(vm.GetBlockOnMemory(a, 0, 1), nullptr);
  EXPECT_EQ(a->GetType(0), CVmBlock::kOnDisk);
  EXPECT_EQ(a->GetSlotIndex(0), disk);
  EXPECT_EQ(vm.GetDiskReads(), reads);
  EXPECT_EQ(vm.GetSlotsInUse(), 1) << "the slot made for it is free again";

  FailEvery("", 0);
  EXPECT_TRUE(Has(vm, a, 0, 1));
  EXPECT_TRUE(Has(vm, b, 0, 2));
  EXPECT_TRUE(Has(vm, c, 0, 3));
  vm.Free(a);
  vm.Free(b);
  vm.Free(c);
}

// A real file-size limit: the swap file can neither grow nor be written past the limit.
// In a child process, so that the limit cannot reach other tests.
TEST_F(VmManagerTest, FullSwapFileFailsOneOperationAndKeepsTheData) {
  Configure(512);  // 2 slots of 512 KB
  CVmManager::SetIoFaultHook(nullptr);
  std::string problem = RunInChild([]() -> std::string {
    ::signal(SIGXFSZ, SIG_IGN);  // writes past the limit then fail with EFBIG
    CVmManager vm;
    CHILD_CHECK(vm.HasSwapFile());
    const std::size_t bs = vm.GetBlockSize();
    CVmHandle* a = vm.Alloc(1);
    CVmHandle* b = vm.Alloc(1);
    CVmHandle* c = vm.Alloc(1);  // on disk block 0
    CVmHandle* d = vm.Alloc(1);  // on disk block 1: the file is 1 MB
    CHILD_CHECK(a && b && c && d);
    void* pa = vm.GetBlockOnMemory(a, 0, 0);
    void* pb = vm.GetBlockOnMemory(b, 0, 0);
    CHILD_CHECK(pa && pb);
    Fill(pa, bs, 1);
    Fill(pb, bs, 2);
    vm.Free(d);  // disk block 1 is free but lies beyond the limit set next
    CHILD_CHECK(vm.GetDiskBlocksCreated() == 2);

    rlimit saved{};
    CHILD_CHECK(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
    rlimit small = saved;
    small.rlim_cur = bs;
    CHILD_CHECK(::setrlimit(RLIMIT_FSIZE, &small) == 0);

    // Paging a out needs a write at 512 KB: refused, so c cannot come in.
    CHILD_CHECK(vm.GetBlockOnMemory(c, 0, 0) == nullptr);
    CHILD_CHECK(a->GetType(0) == CVmBlock::kInMemory);
    CHILD_CHECK(b->GetType(0) == CVmBlock::kInMemory);
    CHILD_CHECK(c->GetType(0) == CVmBlock::kOnDisk);
    CHILD_CHECK(vm.GetDiskWrites() == 0);
    CHILD_CHECK(Holds(vm.GetBlockOnMemory(a, 0, 1), bs, 1));
    CHILD_CHECK(Holds(vm.GetBlockOnMemory(b, 0, 1), bs, 2));

    // A new block takes the free disk block (no write needed); the next one would have
    // to grow the file and is refused, leaving nothing behind.
    CVmHandle* e = vm.Alloc(1);
    CHILD_CHECK(e && e->GetType(0) == CVmBlock::kOnDisk);
    CHILD_CHECK(vm.Alloc(1) == nullptr);
    CHILD_CHECK(vm.GetBlocksHandedOut() == 4);
    CHILD_CHECK(vm.GetDiskBlocksCreated() == 2);
    CHILD_CHECK(vm.GetSlotsInUse() == 2);

    // With room again everything works and nothing was lost.
    CHILD_CHECK(::setrlimit(RLIMIT_FSIZE, &saved) == 0);
    void* pc = vm.GetBlockOnMemory(c, 0, 0);
    CHILD_CHECK(pc);
    Fill(pc, bs, 3);
    CHILD_CHECK(Holds(vm.GetBlockOnMemory(a, 0, 1), bs, 1));
    CHILD_CHECK(Holds(vm.GetBlockOnMemory(b, 0, 1), bs, 2));
    CHILD_CHECK(Holds(vm.GetBlockOnMemory(c, 0, 1), bs, 3));
    CHILD_CHECK(vm.Alloc(1) != nullptr);
    return {};
  });
  EXPECT_EQ(problem, "");
}

// --- The swap file and leftovers ---------------------------------------------------------

TEST_F(VmManagerTest, TheSwapFileHasNoNameInTheSwapFolder) {
  Configure(256);
  for (bool fallback : {false, true}) {
    SCOPED_TRACE(fallback ? "mkstemp fallback" : "O_TMPFILE");
    g_plan.seen.clear();
    FailEvery(fallback ? "O_TMPFILE" : "", EOPNOTSUPP);
    CVmManager vm;
    ASSERT_TRUE(vm.HasSwapFile());
    const bool usedFallback =
        std::find(g_plan.seen.begin(), g_plan.seen.end(), "mkstemp") != g_plan.seen.end();
    EXPECT_EQ(usedFallback, fallback);
    EXPECT_EQ(vm.GetSwapDirectory(), swap_.path());
    CVmHandle* h = vm.Alloc(10);
    ASSERT_NE(h, nullptr);
    for (int i = 0; i < 10; ++i) Put(vm, h, i, 600 + i);
    EXPECT_GT(vm.GetDiskBlocksCreated(), 0);
    EXPECT_TRUE(Entries(swap_.path()).empty());
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(Has(vm, h, i, 600 + i));
    vm.Free(h);
  }
}

TEST_F(VmManagerTest, WithoutAnySwapFileThePagerWorksFromMemory) {
  Configure(256);
  CVmManager::SetIoFaultHook([](const char* op) -> int {
    return std::strcmp(op, "O_TMPFILE") == 0 || std::strcmp(op, "mkstemp") == 0 ? EACCES : 0;
  });
  CVmManager vm;
  EXPECT_FALSE(vm.HasSwapFile());
  EXPECT_EQ(vm.GetDiskBlockLimit(), 0);
  EXPECT_EQ(CVmManager::m_nGlobalDiskSizeLimit, 0);
  EXPECT_EQ(vm.Alloc(3), nullptr) << "3 + 2 > 4 slots";
  CVmHandle* h = vm.Alloc(2);
  ASSERT_NE(h, nullptr);
  Put(vm, h, 1, 9);
  EXPECT_TRUE(Has(vm, h, 1, 9));
  vm.Free(h);
}

TEST_F(VmManagerTest, LeftoverSwapFilesAreRemovedAndNothingElse) {
  Configure(256);
  const std::string d = swap_.path();
  const std::vector<std::string> leftovers = {"~QX123456.tmp", "~QX.tmp", "~QXabcdef.tmp"};
  const std::vector<std::string> others = {"~QX1.txt", "QX1.tmp",      "x~QX1.tmp",
                                           "~qx1.tmp", "~QX1.tmp.bak", "keep.tmp"};
  auto populate = [&] {
    for (const auto& n : leftovers) WriteFileOrDie(d + "/" + n, "old swap");
    for (const auto& n : others) WriteFileOrDie(d + "/" + n, "not ours");
  };
  populate();
  ASSERT_EQ(MakeDirectories(d + "/~QXdir.tmp"), 0);
  ASSERT_EQ(MakeDirectories(d + "/sub"), 0);
  WriteFileOrDie(d + "/sub/~QX2.tmp", "deeper");
  WriteFileOrDie(d + "/target", "pointed at");
  fs::create_symlink(d + "/target", d + "/~QXlink.tmp");

  std::vector<std::string> expected = others;
  for (const char* n : {"~QXdir.tmp", "~QXlink.tmp", "sub", "target"}) expected.push_back(n);
  std::sort(expected.begin(), expected.end());

  CVmManager::DeleteAllSwapFiles();
  EXPECT_EQ(Entries(d), expected);
  EXPECT_TRUE(fs::exists(d + "/sub/~QX2.tmp"));
  EXPECT_EQ(ReadFileOrEmpty(d + "/target"), "pointed at");

  // A starting pager clears them too.
  populate();
  {
    CVmManager vm;
    EXPECT_EQ(Entries(d), expected);
  }

  // With no folder configured, the one named by TMPDIR is swept, and only that one.
  TempDir tmp;
  ScopedEnv env("TMPDIR", tmp.path().c_str());
  ASSERT_EQ(CRegistry::DeleteValue(kSection, "VMDrive"), 1);
  populate();
  WriteFileOrDie(tmp.File("~QX777777.tmp"), "old swap");
  CVmManager::DeleteAllSwapFiles();
  EXPECT_TRUE(Entries(tmp.path()).empty());
  EXPECT_TRUE(fs::exists(d + "/~QX123456.tmp"));
}

// --- The process pager and the settings record -------------------------------------------

TEST_F(VmManagerTest, StatusRoundTripsThroughTheSettings) {
  TempDir tmp;
  ScopedEnv env("TMPDIR", tmp.path().c_str());
  Configure(128);
  SetInt("MinMemorySize", 2);
  SetInt("ReservedMemory", 50);
  SetInt("MaxDiskSize", 3);
  CVmManager::Restart();
  CVmManager& vm = CVmManager::Instance();
  EXPECT_EQ(vm.GetSlotCount(), 16);
  EXPECT_EQ(vm.GetDiskBlockLimit(), 24);
  EXPECT_EQ(Stored("AquiredMemory"), "2");

  VMSTATUS s;
  CVmManager::GetVmStatus(&s);
  EXPECT_EQ(s.nBlockSize, 128);
  EXPECT_EQ(s.nMemoryRatio, 0);
  EXPECT_EQ(s.nReservedMemory, 50);
  EXPECT_EQ(s.nMinMemorySize, 2);
  EXPECT_EQ(s.nMaxDiskSize, 3);
  EXPECT_GT(s.nGlobalDiskSizeLimit, 0);
  EXPECT_EQ(s.nGlobalDiskSizeLimit, CVmManager::m_nGlobalDiskSizeLimit);
  EXPECT_EQ(s.szDirectory, swap_.path());
  EXPECT_EQ(s.szDrive, swap_.path());

  // The swap in use, as the process pager reports it.
  EXPECT_EQ(CVmManager::GetCurrentSwapSize(), 0);
  CVmHandle* h = vm.Alloc(20);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(CVmManager::GetCurrentSwapSize(), 4 * 131072);
  vm.Free(h);

  // Storing: the drive goes when empty, and the recorded budget is dropped.
  s.szDrive.clear();
  s.nMemoryRatio = 55;
  s.nMaxDiskSize = 1234;
  s.nBlockSize = 64;  // not stored: block size is not part of the record's settings
  CVmManager::WriteVmStatus(&s);
  EXPECT_EQ(Stored("VMDrive"), "<missing>");
  EXPECT_EQ(Stored("MemoryRatio"), "55");
  EXPECT_EQ(Stored("MaxDiskSize"), "1234");
  EXPECT_EQ(Stored("AquiredMemory"), "<missing>");
  EXPECT_EQ(Stored("BlockSize"), "128");

  // They take effect at the next start; with no drive the pager swaps into TMPDIR.
  CVmManager::Restart();
  CVmManager::GetVmStatus(&s);
  EXPECT_EQ(s.nMemoryRatio, 55);
  EXPECT_EQ(s.nMaxDiskSize, 1234);
  EXPECT_EQ(s.szDrive, "");
  EXPECT_EQ(s.szDirectory, tmp.path());

  s.szDrive = swap_.path();
  CVmManager::WriteVmStatus(&s);
  EXPECT_EQ(Stored("VMDrive"), swap_.path());
  CVmManager::GetVmStatus(nullptr);
  CVmManager::WriteVmStatus(nullptr);
  CVmManager::Restart();
}

TEST_F(VmManagerTest, DefaultStatusIsBoundedByTheTemporaryFolder) {
  Configure(256);
  CVmManager::Restart();  // swaps into swap_, not into the temporary folder

  TempDir tmp;
  {
    ScopedEnv env("TMPDIR", tmp.path().c_str());
    VMSTATUS s;
    s.szDrive = "something";
    CVmManager::GetVmStatusDefault(&s);
    EXPECT_EQ(s.nBlockSize, 256);
    EXPECT_EQ(s.nMemoryRatio, 70);
    EXPECT_EQ(s.nReservedMemory, -1);
    EXPECT_EQ(s.nMinMemorySize, 32);
    EXPECT_EQ(s.szDrive, "");
    EXPECT_EQ(s.szDirectory, tmp.path());
    EXPECT_GT(s.nMaxDiskSize, 0);
    EXPECT_LE(s.nMaxDiskSize, 8000);
  }
  {
    // A temporary folder with no room gives no disk at all.
    ScopedEnv env("TMPDIR", tmp.File("missing").c_str());
    VMSTATUS s;
    CVmManager::GetVmStatusDefault(&s);
    EXPECT_EQ(s.nMaxDiskSize, 0);
    EXPECT_EQ(s.szDirectory, tmp.File("missing"));
  }
  CVmManager::GetVmStatusDefault(nullptr);
}
