// Pieces the engine's pixel operations share: spans of physical values read from and
// written to the pager, bilinear resampling of one image into another through an affine
// map, a result image of new geometry, and the world-coordinate update that follows any
// affine change of the pixel grid.
#pragma once

#include <cstdint>
#include <string>

class CImage;
class CRalImage;

namespace imgsample {

// Physical values of pixels x0 … x0 + n − 1 of row y; blank pixels read as NaN. False
// when the row cannot be reached.
bool ReadSpan(const CImage& image, int x0, int n, int y, int plane, double* out);
// Stores physical values through the inverse scaling: integer types round to nearest and
// clamp to their range; NaN becomes the blank value when the image uses one, else the
// stored value 0. False when the row cannot be reached.
bool WriteSpan(CImage& image, int x0, int n, int y, int plane, const double* in);

// Maps a target pixel (x, y), 0-based, to the source position
// (a11 x + a12 y + bx, a21 x + a22 y + by).
struct Affine {
  double a11 = 1, a12 = 0, a21 = 0, a22 = 1, bx = 0, by = 0;
};

// Writes every pixel of every plane of dst with the bilinear sample of src at the mapped
// position (plane p of dst from plane min(p, planes of src − 1)). A position inside
// [0, width − 1] × [0, height − 1] of src (to within 1e-9 pixel) interpolates between its
// four neighbours, those of zero weight left out, so whole-pixel positions copy values
// exactly and a NaN spreads only to positions it takes part in; any other position takes
// `outside`. The work goes in tiles of the target whose source rectangle alone is read,
// so neither image needs to fit in memory. Progress: one step per target row and plane.
bool Resample(const CImage& src, CImage& dst, const Affine& map, double outside,
              CRalImage* progress);

// Resample of a band: dst holds rows dstFirst … dstFirst + dst height − 1 of the target,
// src holds rows srcFirst … srcFirst + src height − 1 of a source srcHeight rows tall (of
// src's width and planes). Each value written is the one Resample of the whole images
// writes at that target pixel. False, as for Resample, and also when the rows held of the
// source do not include every row the band's positions interpolate between: held rows
// from ⌊v_min⌋ − 1 to ⌈v_max⌉ + 1 over the band's corners always do.
struct RowWindow {
  int dstFirst = 0;
  int srcFirst = 0;
  int srcHeight = 0;
};
bool ResampleRows(const CImage& src, const RowWindow& window, CImage& dst, const Affine& map,
                  double outside);

// A new image in *result like `like` (pixel type, scaling, cards, levels, coordinates)
// but width × height pixels, not yet written. Throws std::bad_alloc.
void MakeLike(CRalImage* result, const CImage& like, int width, int height);

// Puts result in place of image: image takes result's pixels, size and attributes and
// keeps its own progress display and overwrite permission.
void Replace(CRalImage& image, CRalImage& result);

// The world coordinates of image, which describe the source grid, follow the pixels to
// the target grid of `map` (target → source, 0-based): with p = A p' + b in 1-based
// pixels, CRPIX' = A⁻¹ (CRPIX − b) and the linear matrix M' = M A (a CD or PC matrix; an
// image with CDELT alone keeps CDELT alone when A is diagonal and gains a PC matrix
// equal to A otherwise). SIP polynomials are carried through the same linear change of
// variables, f'(u') = A⁻¹ f(A u'), which keeps the distortion under the same stars. A
// plate solution's corner moves by b when A is the identity; any other map drops the
// solution, which cannot follow it. An image without world coordinates is otherwise left
// alone.
void MoveCoordinates(CImage& image, const Affine& map);

}  // namespace imgsample
