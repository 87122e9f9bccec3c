// Test helper: runs a shell command and collects what it prints, for the tests that ask a
// peer tool (astropy, fitsverify) to check our results.
#pragma once

#include <stdio.h>
#include <sys/wait.h>

#include <array>
#include <string>

namespace testsupport {

// Debian's interpreter, which has python3-astropy and python3-numpy.
inline constexpr const char* kPython = "/usr/bin/python3";

struct CommandOutput {
  int status = -1;   // the exit status, -1 when the command did not exit normally
  std::string text;  // standard output and standard error together
};

inline CommandOutput RunCommand(const std::string& command) {
  CommandOutput out;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return out;
  std::array<char, 4096> buffer;
  std::size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    out.text.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

// The text in single quotes for the shell.
inline std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline bool HaveAstropy() {
  static const bool have =
      RunCommand(std::string(kPython) + " -c 'import astropy.wcs, numpy'").status == 0;
  return have;
}

}  // namespace testsupport
