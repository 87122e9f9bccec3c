// Test helpers: a temporary folder removed with its content, and a settings scope that
// points the settings store at such a folder for the lifetime of a test.
#pragma once

#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets VANTOREL_CONFIG_HOME to a fresh folder and restores the previous value after.
class ScopedConfigHome {
 public:
  ScopedConfigHome();
  ~ScopedConfigHome();
  const std::string& path() const { return dir_.path(); }
  std::string UserFile() const;

 private:
  TempDir dir_;
  std::string previous_;
  bool hadPrevious_ = false;
};

std::string ReadFileOrEmpty(const std::string& path);
void WriteFileOrDie(const std::string& path, const std::string& content);
// The folder of the test executables (for helper programs).
std::string TestBinDir();
