// Images the benchmarks share.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "engine/ralimage.h"
#include "imagemodel/vmmanager.h"

// A pager of the default settings, read from a folder of the benchmark's own that goes
// when the program ends.
inline void UsePager() {
  static struct ConfigHome {
    std::string path;
    ConfigHome() {
      char pattern[] = "/tmp/vantorel-bench-XXXXXX";
      path = ::mkdtemp(pattern);
      ::setenv("VANTOREL_CONFIG_HOME", path.c_str(), 1);
      CVmManager::Restart();
    }
    ~ConfigHome() {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  } home;
}

// Fills a one-plane float image with repeatable noise between 50 and 4050 (a linear
// congruential sequence, so every run and every benchmark sees the same pixels).
inline void FillNoise(CRalImage& img) {
  std::uint32_t s = 12345;
  for (int y = 0; y < img.GetHeight(); ++y) {
    auto* row = static_cast<float*>(img.GetImageAdr(0, y, 0));
    for (int x = 0; x < img.GetWidth(); ++x) {
      s = s * 1664525u + 1013904223u;
      row[x] = 50.0f + static_cast<float>(s >> 8) * (4000.0f / 16777216.0f);
    }
  }
}
