// A 16384 × 16384 float image (1 GiB of pixels) shown through the paged bitmap (768 MiB
// more) with the pager's budget at 512 MB: the rebuild must page rather than hold
// everything, so the peak resident memory of the process stays under 1 GB. It runs in a
// forked child so that the peak is its own, read from VmHWM at the end.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "display/imagebuffer.h"
#include "engine/ralimage.h"
#include "imagemodel/vmmanager.h"
#include "settings/registry.h"
#include "tests/display/display_test_support.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kSide = 16384;
constexpr long kLimitKB = 1000L * 1000;  // 1 GB

// Runs body in a forked child and returns what it wrote, or why it did not finish.
std::string RunInChild(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "FAIL pipe";
  const pid_t pid = ::fork();
  if (pid < 0) return "FAIL fork";
  if (pid == 0) {
    ::close(fds[0]);
    const std::string out = body();
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::write(fds[1], out.data() + done, out.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string out;
  char buf[256];
  for (;;) {
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return "FAIL waitpid";
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "FAIL child ended with status " + std::to_string(status);
  return out;
}

long PeakResidentKB() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::strtol(line + 6, nullptr, 10);
  std::fclose(f);
  return kb;
}

// The pixel values: a ramp that crosses both levels on every row.
float Value(int x, int y) {
  return static_cast<float>((7 * x + 13 * y) % 1200) - 100.0f;
}

int Byte(float v) {  // levels 0 .. 1000, scale 0.255
  if (v <= 0) return 0;
  if (v >= 1000) return 255;
  const float t = v * 0.255f;
  return t >= 254 ? 254 : static_cast<int>(t);
}

#define CHILD_CHECK(cond)                                                     \
  do {                                                                        \
    if (!(cond)) return "FAIL line " + std::to_string(__LINE__) + ": " #cond; \
  } while (0)

}  // namespace

TEST(DisplayMemoryTest, SixteenKSquareFloatImageRendersInUnderOneGigabyte) {
  ScopedConfigHome home;
  TempDir swap;
  ASSERT_EQ(CRegistry::Write("VMManager", "MemoryRatio", 0, CRegistry::TYPE_INT), 1);
  ASSERT_EQ(CRegistry::Write("VMManager", "MinMemorySize", 512, CRegistry::TYPE_INT), 1);
  ASSERT_EQ(CRegistry::Write("VMManager", "VMDrive", swap.path()), 1);

  const std::string out = RunInChild([]() -> std::string {
    CVmManager::Restart();
    CVmManager& pager = CVmManager::Instance();
    CHILD_CHECK(pager.GetSlotCount() * pager.GetBlockSize() <= 512u * 1024 * 1024);
    {
      CRalImage img(kSide, kSide, -32, 1, 1.0, 0.0, 1);
      for (int y = 0; y < kSide; ++y) {
        auto* row = static_cast<float*>(img.GetImageAdr(0, y));
        CHILD_CHECK(row != nullptr);
        for (int x = 0; x < kSide; ++x) row[x] = Value(x, y);
      }
      img.SetLevel(0, 0, 1000);
      CImageBuffer buf(1);
      CHILD_CHECK(buf.Create(32, &img, nullptr, nullptr, nullptr) == 1);
      buf.Update(&img, nullptr, 0);
      // Everything could not have stayed in memory: blocks went to the swap file.
      CHILD_CHECK(!img.IsOnMemory());
      CHILD_CHECK(pager.GetDiskWrites() > 0);
      // Sampled pixels, top to bottom (the early rows were paged out long ago).
      for (int i = 0; i < 4096; ++i) {
        const int x = static_cast<int>((i * 2654435761u) % kSide);
        const int y = i * (kSide / 4096);
        const Bgr got = StoredPixel(buf.GetDIB(), x, y);
        const int want = Byte(Value(x, y));
        if (!(got == Grey(want)))
          return "FAIL pixel " + std::to_string(x) + "," + std::to_string(y) + " is " +
                 std::to_string(got.b) + " not " + std::to_string(want);
      }
    }
    return "VmHWM " + std::to_string(PeakResidentKB());
  });
  ASSERT_EQ(out.rfind("VmHWM ", 0), 0u) << out;
  const long kb = std::strtol(out.c_str() + 6, nullptr, 10);
  RecordProperty("VmHWM_kB", std::to_string(kb));
  std::printf("peak resident memory of the rebuild: %ld kB\n", kb);
  EXPECT_GT(kb, 0);
  EXPECT_LT(kb, kLimitKB);
}
