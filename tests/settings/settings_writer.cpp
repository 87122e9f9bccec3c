// Test helper: writes COUNT values named PREFIX0..PREFIXn-1 (value = the name) into the
// settings section SECTION, as a separate process would. With --die-at STAGE it kills
// itself with SIGKILL when the save of the value --die-value reaches that stage.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/files.h"
#include "settings/registry.h"

namespace {
const char* g_dieAt = nullptr;
bool g_armed = false;

int Die(const char* stage) {
  if (g_armed && std::strcmp(stage, g_dieAt) == 0) std::raise(SIGKILL);
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: settings_writer SECTION PREFIX COUNT [--die-at STAGE]\n");
    return 2;
  }
  std::string section = argv[1], prefix = argv[2];
  int count = std::atoi(argv[3]);
  if (argc == 6 && std::strcmp(argv[4], "--die-at") == 0) {
    g_dieAt = argv[5];
    SetSaveFaultHook(Die);
  }
  for (int i = 0; i < count; ++i) {
    std::string name = prefix + std::to_string(i);
    g_armed = g_dieAt && i == count - 1;  // the last save is the one that dies
    if (!CRegistry::Write(section, name, std::string_view(name))) {
      std::fprintf(stderr, "settings_writer: write %s failed\n", name.c_str());
      return 1;
    }
  }
  return 0;
}
