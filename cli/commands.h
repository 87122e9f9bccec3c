// The subcommands of vantorel-cli. Each takes the arguments after its name and returns
// the process exit code.
#pragma once

#include <string>
#include <vector>

int SettingsCommand(const std::vector<std::string>& args);
