// Memory of the batch median: FRAMES files of SIDE × SIDE 16-bit FITS (100 of 2048 × 2048
// by default) are written into a temporary folder, stacked by the batch run's median
// under a pager budget of 512 MB, and the process's peak resident size (VmHWM of
// /proc/self/status) is printed; then a python script stacks the same files with
// ccdproc.combine(method="median", mem_limit=512 MB) and prints its own peak. Run on its
// own (the peak covers the whole process):  batchstack_bench [FRAMES [SIDE]]
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "batch/batchcomposit.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "imagemodel/vmmanager.h"
#include "settings/registry.h"

namespace {

double PeakMB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  return -1;
}

bool WriteFrame(const std::string& path, int side, unsigned seed) {
  CRalImage image(side, side, 16, 1, 1.0, 32768.0, 1);
  image.SetOrgFileFormat("FITS");
  // Saved as the 16-bit integers of a camera, with the usual offset for unsigned values.
  image.SetOrgBitsPixel(16);
  image.SetOrgScaling(1.0, 32768.0);
  std::vector<double> row(side);
  unsigned s = seed * 2654435761u + 1;
  for (int y = 0; y < side; ++y) {
    for (double& v : row) {
      s = s * 1664525u + 1013904223u;
      v = 1000.0 + static_cast<double>(s >> 20);  // 1000 … 5095
    }
    image.SetPhysicalRow(y, 0, row.data());
  }
  return CRalImageIO::WriteImageFile(image, path, 0) == 1;
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 100;
  const int side = argc > 2 ? std::atoi(argv[2]) : 2048;
  char pattern[] = "/tmp/vantorel-batchstack-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  ::setenv("VANTOREL_CONFIG_HOME", (dir + "/config").c_str(), 1);
  CRegistry::Write("VMManager", "MemoryRatio", 0, CRegistry::TYPE_INT);
  CRegistry::Write("VMManager", "MinMemorySize", 512, CRegistry::TYPE_INT);
  CVmManager::Restart();

  std::vector<BatchTarget> targets;
  for (int f = 0; f < frames; ++f) {
    const std::string path = dir + "/frame" + std::to_string(f) + ".fits";
    if (!WriteFrame(path, side, f)) {
      std::fprintf(stderr, "could not write %s\n", path.c_str());
      return 1;
    }
    targets.push_back({path, nullptr});
  }
  const double before = PeakMB();
  const auto t0 = std::chrono::steady_clock::now();
  BatchCompositSettings settings;
  settings.method = BatchCompositSettings::kMedian;
  CBatchComposit run(settings, targets);
  const bool ok = run.MakeNewDestination(nullptr) && run.CheckValue() && run.ImageProc() &&
                  run.GetFailures().empty();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf(
      "ours: median of %d frames of %d x %d 16-bit, pager budget 512 MB: %s, %.1f s, "
      "peak RSS %.0f MB (%.0f MB before the run), swap %.0f MB\n",
      frames, side, side, ok ? "done" : "FAILED", seconds, PeakMB(), before,
      CVmManager::GetCurrentSwapSize() / 1048576.0);
  std::fflush(stdout);
  const std::string command =
      "/usr/bin/python3 " BATCHSTACK_PEER_SCRIPT " " + dir + " " + std::to_string(frames);
  const int peer = std::system(command.c_str());
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return ok && peer == 0 ? 0 : 1;
}
