// vantorel-cli: the command-line face of Vantorel for scripts and batch work. It never
// opens a window; questions that the program would ask are answered from flags.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "platform/messagebox.h"
#include "settings/registry.h"

namespace {

void PrintUsage(FILE* out) {
  std::fputs(
      "Usage: vantorel-cli [--default-settings] COMMAND [ARGS...]\n"
      "\n"
      "Commands:\n"
      "  settings path                      print the settings files in use\n"
      "  settings list [SECTION]            list sections, or the values of one section\n"
      "  settings get SECTION NAME          print one stored value\n"
      "  settings set SECTION NAME VALUE    store one text value\n"
      "  settings delete SECTION [NAME]     delete one value, or a section with its subsections\n"
      "    (add --machine to any settings command for the machine-wide settings)\n"
      "  --version                          print the version\n"
      "  --help                             print this help\n"
      "\n"
      "Options:\n"
      "  --default-settings                 read every setting as its default\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  SetApplicationTitle("Vantorel");
  std::vector<std::string> args(argv + 1, argv + argc);
  while (!args.empty() && args.front() == "--default-settings") {
    CRegistry::SetDefaultSettings(true);
    args.erase(args.begin());
  }
  if (args.empty()) {
    PrintUsage(stderr);
    return 2;
  }
  const std::string command = args.front();
  args.erase(args.begin());
  if (command == "--help" || command == "-h" || command == "help") {
    PrintUsage(stdout);
    return 0;
  }
  if (command == "--version") {
    std::puts("vantorel-cli 2.0.0");
    return 0;
  }
  if (command == "settings") return SettingsCommand(args);
  std::fprintf(stderr, "vantorel-cli: unknown command '%s' (try --help)\n", command.c_str());
  return 2;
}
