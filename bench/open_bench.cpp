// Opening a large image in the program: from the open command to the first paint of its
// view, offscreen, beside the dispatcher reading the same file alone (the baseline, in
// the same run). Both also report the peak resident growth of the process over the
// open beside the size of the image's float pixels, which every open must hold: a
// growth ratio near 2 means a second full-size copy was made on the way.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/samplefits.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"

namespace {

const std::string& BigFile() {
  static const std::string path = [] {
    std::string p = "/tmp/vantorel-open-bench-" + std::to_string(getpid()) + ".fits";
    if (WriteSampleStarField(p, 8192, 8192) != 0) std::abort();
    return p;
  }();
  return path;
}

// A field of /proc/self/status in KB, -1 when it cannot be read.
long StatusKB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
      return std::stol(line.substr(n + 1));
  return -1;
}

// The peak resident memory of the process over a stretch of one iteration, above what
// was resident at its start: the kernel's high-water mark is reset to the current
// resident size at Start.
class PeakGrowth {
 public:
  void Start() {
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5";
    reset.close();
    m_bReset = static_cast<bool>(reset);
    m_nStartKB = StatusKB("VmRSS");
  }
  void Stop() {
    const long hwm = StatusKB("VmHWM");
    if (m_bReset && hwm >= 0 && m_nStartKB >= 0)
      m_nLeastKB = std::min(m_nLeastKB, hwm - m_nStartKB);
  }
  // MB, the least over the iterations (one-time start-up costs fall in the first);
  // -1 when the high-water mark could not be reset.
  void Report(benchmark::State& state, int width, int height) const {
    const double floats = static_cast<double>(width) * height * 4 / (1 << 20);
    const double growth = m_nLeastKB == kNone ? -1.0 : static_cast<double>(m_nLeastKB) / 1024;
    state.counters["peak_growth_MB"] = growth;
    state.counters["floats_MB"] = floats;
    state.counters["growth_per_floats"] = growth > 0 ? growth / floats : -1.0;
  }

 private:
  static constexpr long kNone = 1L << 50;
  bool m_bReset = false;
  long m_nStartKB = -1;
  long m_nLeastKB = kNone;
};

void BM_DispatcherReadFile(benchmark::State& state) {
  const std::string& path = BigFile();
  PeakGrowth peak;
  for (auto _ : state) {
    state.PauseTiming();
    peak.Start();
    state.ResumeTiming();
    CRalImage image;
    CReadParam param;
    param.SetFileTypeDefaulted(path);
    int autoLevel = 0;
    if (!CRalImageIO::ReadFile(image, path, &param, -32, &autoLevel)) state.SkipWithError("read");
    benchmark::DoNotOptimize(image.GetWidth());
    state.PauseTiming();
    peak.Stop();
    state.ResumeTiming();
  }
  peak.Report(state, 8192, 8192);
}

void BM_OpenToFirstPaint(benchmark::State& state) {
  const std::string& path = BigFile();
  PeakGrowth peak;
  for (auto _ : state) {
    state.PauseTiming();
    peak.Start();
    state.ResumeTiming();
    CMainFrame frame;
    frame.resize(1024, 768);
    frame.show();
    QEventLoop loop;
    CKivImageDoc* doc = frame.OpenDocumentFile(QString::fromStdString(path));
    if (!doc) {
      state.SkipWithError("open");
      break;
    }
    CKivImageView* view = frame.ActiveView();
    QObject::connect(view, &CKivImageView::painted, &loop, &QEventLoop::quit);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    if (view->PaintCount() == 0) loop.exec();
    state.PauseTiming();
    peak.Stop();
    for (CChildFrame* f : frame.Frames()) delete f;
    state.ResumeTiming();
  }
  peak.Report(state, 8192, 8192);
}

}  // namespace

BENCHMARK(BM_DispatcherReadFile)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_OpenToFirstPaint)->Unit(benchmark::kMillisecond)->Iterations(3);

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int qtArgc = 1;
  char name[] = "open_bench";
  char* qtArgv[] = {name, nullptr};
  // The application lives in main's frame, so that it is gone before the exit handlers
  // that Qt registers run (a static one was destroyed after them and crashed at exit).
  QApplication app(qtArgc, qtArgv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::remove(BigFile().c_str());
  return 0;
}
