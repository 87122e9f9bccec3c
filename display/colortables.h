// The colour tables of the display: three 256-entry false-colour tables (vermilion, cyan,
// black body) indexed by the display byte, and the 470-entry spectral table with one
// colour per whole nanometre from 360 nm to 829 nm. Each table is defined by a few
// reference colours; the entries between them come from monotone piecewise-cubic
// Hermite interpolation of each channel (Fritsch and Carlson 1980, with the slopes of
// Fritsch and Butland 1984, as in PCHIP): it passes through every reference colour,
// has a continuous slope, and never overshoots, so a channel that rises between two
// references rises steadily and one that is flat stays flat.
#pragma once

#include <array>
#include <cstdint>

struct RGBCOLOR {
  std::uint8_t r = 0;
  std::uint8_t g = 0;
  std::uint8_t b = 0;
  bool operator==(const RGBCOLOR&) const = default;
};

inline constexpr int kFalseColorTableSize = 256;
inline constexpr int kSpectrumTableSize = 470;              // 360 nm .. 829 nm
inline constexpr double kSpectrumFirstWavelength = 3.6e-7;  // m

// The table of colour type 0 (vermilion), 1 (cyan) or 2 (black body); other types get
// the vermilion table.
const std::array<RGBCOLOR, kFalseColorTableSize>& FalseColorTable(int colorType);
// Entry i is the colour of wavelength 360 + i nm.
const std::array<RGBCOLOR, kSpectrumTableSize>& SpectrumColorTable();

// One reference colour of a table: its index and colour.
struct ColorKnot {
  int index;
  RGBCOLOR color;
};
// Fills out[first knot .. last knot] by monotone cubic interpolation through the knots,
// whose indices must increase. Channels are rounded to nearest.
void InterpolateColorTable(const ColorKnot* knots, int knotCount, RGBCOLOR* out);
