// World coordinates that move with the pixels. An operation that moves pixels calls these
// once it has moved them, so that the sky under a star stays the sky under that star:
// the image's coordinate attributes (reference pixel, increments, linear matrix) and the
// SIP distortion cards of its header change with the pixel grid. SIP (A_p_q, B_p_q and
// the inverse AP_p_q, BP_p_q) follows Shupe et al. 2005, "The SIP Convention for
// Representing Distortion in FITS Image Headers"; the linear part follows Greisen and
// Calabretta 2002, "Representations of world coordinates in FITS" (paper I).
#pragma once

#include <string_view>

class CImage;

class CImgWcs {
 public:
  // Mirrors FITS axis `axis` (1: columns, a left-right mirror; 2: rows, a top-bottom
  // mirror): FITS pixel p along that axis becomes n + 1 − p, n the image's length along
  // it, whichever way round the rows are stored. CRPIX of the axis becomes n + 1 − CRPIX
  // (a reference pixel not given stands at the standard's 0), column `axis` of a CD or PC
  // matrix changes sign, and without a matrix CDELT of the axis does; SIP coefficients
  // whose sign the mirror turns are rewritten in the header. A plate solution, which
  // cannot describe a mirrored scan, is dropped. An image without world coordinates, and
  // axis 2 of a one-dimensional image, are otherwise left alone.
  static void Mirror(CImage& image, int axis);

  // Moves the pixel grid under the sky by whole pixels, as a cut does: FITS pixel
  // (p1, p2) of the old grid becomes (p1 − dx, p2 − dy) of the new one. CRPIX moves by
  // (−dx, −dy) (a reference pixel not given stands at the standard's 0); the matrices and
  // the SIP terms, which depend only on the offsets from CRPIX, stay. A plate solution's
  // corner (CNPIX1, CNPIX2) moves by (dx, dy). An image without world coordinates is
  // otherwise left alone, and dy is ignored for a one-dimensional image.
  static void Shift(CImage& image, double dx, double dy);

  // The plate solution's part of Shift alone: its corner (CNPIX1, CNPIX2) moves by
  // (dx, dy), for an operation that moves the reference pixel itself.
  static void ShiftPlateSolution(CImage& image, double dx, double dy);
  // Removes the cards of a plate solution (see FitsPlateSolutionKeys), for an operation
  // that moves pixels in a way the solution cannot follow.
  static void DropPlateSolution(CImage& image);

  // The world-coordinate description of source becomes image's: every coordinate
  // attribute and the coordinate cards of the header (those of image are replaced). For
  // an operation that writes image from a separate source image of the same geometry.
  static void CopyFrom(CImage& image, const CImage& source);

  // True when the image has any world-coordinate attribute: an axis type, a reference
  // pixel, value or increment, or a linear matrix.
  static bool HasWorldCoordinates(const CImage& image);

  // True for the keywords of a coordinate description that the header carries as cards
  // (CTYPEn, CRPIXn, CDi_j, PVi_m, the SIP keywords, LONPOLE, RADESYS, ...).
  static bool IsCoordinateKeyword(std::string_view keyword);
};
