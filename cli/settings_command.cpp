// "vantorel-cli settings": reads and changes the settings store from the shell.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cli/commands.h"
#include "platform/files.h"
#include "settings/registry.h"

namespace {

int Usage() {
  std::fputs("vantorel-cli settings: expected path | list [SECTION] | get SECTION NAME |"
             " set SECTION NAME VALUE | delete SECTION [NAME]\n",
             stderr);
  return 2;
}

}  // namespace

int SettingsCommand(const std::vector<std::string>& argsIn) {
  std::vector<std::string> args;
  int machine = 0;
  for (const std::string& a : argsIn) {
    if (a == "--machine")
      machine = 1;
    else
      args.push_back(a);
  }
  if (args.empty()) return Usage();
  const std::string& verb = args[0];
  CRegistry::SetReadOnly(verb != "set" && verb != "delete");

  if (verb == "path" && args.size() == 1) {
    std::printf("user: %s\nmachine: %s\n", CRegistry::StorePath(0).c_str(),
                CRegistry::StorePath(1).c_str());
    return 0;
  }
  if (verb == "list" && args.size() <= 2) {
    if (args.size() == 1) {
      for (const std::string& s : CRegistry::EnumSections(machine)) std::printf("%s\n", s.c_str());
    } else {
      for (const auto& [name, value] : CRegistry::EnumValues(args[1], machine))
        std::printf("%s=%s\n", name.c_str(), value.c_str());
    }
    return 0;
  }
  if (verb == "get" && args.size() == 3) {
    std::string value;
    long error = 0;
    if (!CRegistry::Read(args[1], args[2], "", value, machine, &error)) {
      std::fprintf(stderr, "vantorel-cli: no value %s in [%s]%s%s\n", args[2].c_str(),
                   args[1].c_str(), error ? ": " : "",
                   error ? FileErrorText(int(error)).c_str() : "");
      return 1;
    }
    std::printf("%s\n", value.c_str());
    return 0;
  }
  if (verb == "set" && args.size() == 4) {
    long error = 0;
    if (!CRegistry::Write(args[1], args[2], std::string_view(args[3]), machine, &error)) {
      std::fprintf(stderr, "vantorel-cli: cannot store the value: %s\n",
                   CRegistry::ErrorText(error, machine).c_str());
      return 1;
    }
    return 0;
  }
  if (verb == "delete" && (args.size() == 2 || args.size() == 3) && machine == 0) {
    long error = 0;
    int ok = args.size() == 3 ? CRegistry::DeleteValue(args[1], args[2], &error)
                              : CRegistry::RemoveRegKey(args[1], &error);
    if (!ok) {
      if (error)
        std::fprintf(stderr, "vantorel-cli: cannot delete: %s\n",
                     CRegistry::ErrorText(error).c_str());
      else
        std::fprintf(stderr, "vantorel-cli: nothing to delete\n");
      return 1;
    }
    return 0;
  }
  return Usage();
}
