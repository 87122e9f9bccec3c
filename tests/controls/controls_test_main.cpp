// Runs the test classes of the custom controls in one offscreen application.
#include <QApplication>

int RunDualSliderTests(int argc, char** argv);
int RunHistogramViewTests(int argc, char** argv);

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  int failed = 0;
  failed += RunDualSliderTests(argc, argv);
  failed += RunHistogramViewTests(argc, argv);
  return failed;
}
