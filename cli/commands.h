// The subcommands of vantorel-cli. Each takes the arguments after its name and returns
// the process exit code: 0 success, 1 failure (the reason on standard error), 2 misuse.
#pragma once

#include <string>
#include <vector>

int SettingsCommand(const std::vector<std::string>& args);
int InfoCommand(const std::vector<std::string>& args);
int HeaderCommand(const std::vector<std::string>& args);
int ConvertCommand(const std::vector<std::string>& args);
int RenderCommand(const std::vector<std::string>& args);
int WcsCommand(const std::vector<std::string>& args);
int ImportCommand(const std::vector<std::string>& args);
int PhotCommand(const std::vector<std::string>& args);
int ProfileCommand(const std::vector<std::string>& args);
int CropCommand(const std::vector<std::string>& args);
int DetectCommand(const std::vector<std::string>& args);
int CentroidCommand(const std::vector<std::string>& args);
int CalibrateCommand(const std::vector<std::string>& args);
int StackCommand(const std::vector<std::string>& args);
int JoinCommand(const std::vector<std::string>& args);
int OverscanCommand(const std::vector<std::string>& args);
int RotateCommand(const std::vector<std::string>& args);
int FlipCommand(const std::vector<std::string>& args);
int ResampleCommand(const std::vector<std::string>& args);
int ShiftCommand(const std::vector<std::string>& args);
int LightcurveCommand(const std::vector<std::string>& args);
int SolveCommand(const std::vector<std::string>& args);
