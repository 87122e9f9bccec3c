// Measurement tables that follow the pixels.
#include "engine/imgtables.h"

#include <algorithm>
#include <string_view>

#include "engine/pixelmove.h"
#include "imagemodel/image.h"

namespace {

constexpr std::string_view kTableNames[] = {"Vantorel Phot data", "Vantorel PhoR data",
                                            "Vantorel Pos data"};

bool IsMeasurementTable(const CFitsExtension& ext) {
  std::string_view name = ext.GetExtName();
  if (name.size() < 2 || name.front() != '\'') return false;
  name = name.substr(1, name.rfind('\'') - 1);
  while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  return std::find(std::begin(kTableNames), std::end(kTableNames), name) != std::end(kTableNames);
}

}  // namespace

int CImgTables::Count(const CImage& image) {
  return static_cast<int>(std::count_if(image.m_FitsExtensions.begin(),
                                        image.m_FitsExtensions.end(), IsMeasurementTable));
}

int CImgTables::Follow(CImage& image, const CPixelMove& move) {
  if (move.KeepsPositions()) return 0;
  auto& exts = image.m_FitsExtensions;
  const auto gone = std::remove_if(exts.begin(), exts.end(), IsMeasurementTable);
  const int removed = static_cast<int>(exts.end() - gone);
  exts.erase(gone, exts.end());
  return removed;
}
