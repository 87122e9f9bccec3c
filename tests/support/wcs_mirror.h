// Runs the astropy check of mirrored world coordinates (wcs_mirror_check.py) on the cases
// a test wrote to dir/cases.txt, and expects it to pass every named case.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

inline void ExpectMirrorCheckPasses(const TempDir& dir, const std::vector<std::string>& names) {
  const int status = std::system(("/usr/bin/python3 " WCS_MIRROR_SCRIPT " " +
                                  dir.File("cases.txt") + " > " + dir.File("out.txt") + " 2>&1")
                                     .c_str());
  const std::string out = ReadFileOrEmpty(dir.File("out.txt"));
  for (const std::string& name : names) EXPECT_NE(out.find("ok " + name + "\n"), out.npos) << name;
  EXPECT_EQ(status, 0) << out;
}
