#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/inistore.h"

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/vantorel-test-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

ScopedConfigHome::ScopedConfigHome() {
  if (const char* prev = std::getenv("VANTOREL_CONFIG_HOME")) {
    previous_ = prev;
    hadPrevious_ = true;
  }
  ::setenv("VANTOREL_CONFIG_HOME", dir_.path().c_str(), 1);
}

ScopedConfigHome::~ScopedConfigHome() {
  if (hadPrevious_)
    ::setenv("VANTOREL_CONFIG_HOME", previous_.c_str(), 1);
  else
    ::unsetenv("VANTOREL_CONFIG_HOME");
}

std::string ScopedConfigHome::UserFile() const { return SettingsFilePath(false); }

std::string ReadFileOrEmpty(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFileOrDie(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string TestBinDir() {
  const char* dir = std::getenv("VANTOREL_TEST_BIN_DIR");
  return dir ? dir : ".";
}
