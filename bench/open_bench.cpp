// Opening a large image in the program: from the open command to the first paint of its
// view, offscreen, beside the dispatcher reading the same file alone (the baseline, in
// the same run).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <string>
#include <unistd.h>

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


void BM_DispatcherReadFile(benchmark::State& state) {
  const std::string& path = BigFile();
  for (auto _ : state) {
    CRalImage image;
    CReadParam param;
    param.SetFileTypeDefaulted(path);
    int autoLevel = 0;
    if (!CRalImageIO::ReadFile(image, path, &param, -32, &autoLevel)) state.SkipWithError("read");
    benchmark::DoNotOptimize(image.GetWidth());
  }
}

void BM_OpenToFirstPaint(benchmark::State& state) {
  const std::string& path = BigFile();
  for (auto _ : state) {
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
    for (CChildFrame* f : frame.Frames()) delete f;
    state.ResumeTiming();
  }
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
