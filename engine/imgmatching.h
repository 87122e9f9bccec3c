// Image matching: the shift that lays one frame of a star field on another, found by
// phase correlation with a sub-pixel peak.
//
// Method (Kuglin & Hines 1975, the normalised cross-power spectrum; sub-pixel peak by a
// locally upsampled inverse transform after Guizar-Sicairos, Thurman & Fienup, Opt. Lett.
// 33, 156, 2008):
//  1. Each frame is read as the mean of its planes; NaN, blank and infinite pixels take
//     the frame's median. Frames longer than kMaxSide on a side are block-averaged by a
//     power of two first, which keeps the transforms small, and the shift found on them
//     is taken to the whole pixel (see 6).
//  2. A 3 × 3 median filter removes hot pixels and cosmic-ray hits, which are single
//     pixels, while stars, several pixels wide, survive. The median is subtracted, and
//     values beyond three times the pixel noise (from differences of neighbours) are
//     compressed by asinh: the whitened spectrum of a frame is otherwise ruled by its
//     brightest star, and two unrelated frames would match on their brightest stars.
//     The frame's borders are tapered to zero over an eighth of its size, so the frame
//     edges (which do not move with the sky) do not correlate.
//  3. Both go, zero-padded, into a power-of-two grid; the cross-power spectrum is reduced
//     to its phase and weighted by a Gaussian in spatial frequency (σ = 0.15 cycles per
//     pixel) that keeps the band where stars have their power and damps the pixel noise.
//     Its inverse transform peaks at the shift.
//  4. Confidence: the peak must stand kMinScore standard deviations of the correlation
//     surface (taken outside the peak) above the surface's mean, and kMinPeakRatio times
//     as high above the mean as the next highest point outside the peak. Frames with no
//     common stars give a surface of many similar peaks (on the bundled field about
//     9 σ, ratio 1.1; matched frames 50 σ and more, ratio 3.5 and more) and are reported
//     as a failure rather than as a wrong shift. A sparse field of a few bright stars
//     gives a strong peak (45 σ and more) but pair terms of its stars as high as half of
//     it (ratio 1.5 to 2), while two unrelated sparse fields stay under 20 σ with ratios
//     under 1.3: a peak of kStrongScore σ is therefore taken at the lower ratio
//     kStrongPeakRatio.
//  5. The peak is refined to 1/400 pixel by evaluating the inverse transform on grids of
//     7 × 7 points around it: steps of 1/100 pixel centred on the vertex of Gaussians
//     through the integer peak and its neighbours (to the nearest 1/100 pixel), then of
//     1/400 pixel centred on the best point found; a grid whose best point lies on its
//     border is moved there and evaluated again. The positions tried are those of the
//     1/400-pixel lattice through the integer peak, so the shift is the best point of
//     that lattice near the peak.
//  6. Block means of stars a few pixels wide lose their sub-pixel detail (on 2 × 2 blocks
//     the shift is off by up to 0.07 pixel, on 4 × 4 blocks by 0.17). For reduced frames
//     the whole-pixel shift of 1 to 4 therefore only lays the frames on each other: a
//     window of at most kFineSide pixels a side, centred on the reference and cut to
//     what both frames cover, is matched again at full resolution as in 1 to 3, and its
//     peak, which lies within a pixel or so of zero, is refined as in 5. The confidence
//     is the reduced frames'. Where too little of the window is left (under 64 pixels a
//     side), or its peak lies further out, the reduced frames' peak is refined instead.
// Shifts up to half the padded grid less the taper are found; overlap down to about a
// quarter of the frame is enough on a field of ordinary star density.
//
// The transforms are FFTW's real-to-complex ones, planned once per size for the program's
// life. The work per row (filtering, transforms of rows and blocks of columns, the
// refinement) is shared by the row pool's threads; every row is computed the same way on
// any thread, so the result does not depend on the number of threads.
#pragma once

#include <memory>

class CRalImage;

struct MatchingParams {
  // The largest shift accepted along either axis in pixels; 0 for any the grid allows.
  int maxShift = 0;
  // The confidence a shift needs (see 4 above).
  double minScore = 0.0;
};

class CImgMatching {
 public:
  static constexpr int kMaxSide = 1024;
  static constexpr int kFineSide = 1024;
  static constexpr double kMinScore = 15.0;
  static constexpr double kMinPeakRatio = 2.0;
  static constexpr double kStrongScore = 30.0;
  static constexpr double kStrongPeakRatio = 1.4;

  // image: the reference, on which the target is to be laid.
  explicit CImgMatching(CRalImage& image);
  ~CImgMatching();
  CImgMatching(const CImgMatching&) = delete;
  CImgMatching& operator=(const CImgMatching&) = delete;

  // keep: the reference's prepared frame and spectrum, made by the first Do, are reused by
  // every later Do whose target needs the same reduction and grid (another size of target
  // makes them again), and so is the spectrum of its full-resolution window while the
  // window stays the same. The reference must not change in between. Off by default: every
  // Do reads the reference afresh. The shifts and scores are the same either way.
  void KeepReference(bool keep);
  // The shift (dx, dy) that lays target on the reference, in the sense of CImgComposit
  // and CImgMedianComposit (target pixel (u, v) shows the sky of reference pixel
  // (u + dx, v + dy)). params may be null for the defaults; final non-zero shows progress
  // on the reference. Returns 1; 0 with dx = dy = 0 for no target, no confident match, a
  // shift beyond maxShift, or memory that runs out. GetScore tells the confidence found.
  int Do(const CRalImage* target, double* dx, double* dy, const MatchingParams* params = nullptr,
         int final = 0);

  double GetScore() const { return m_dScore; }

 private:
  struct Reference;
  struct Scratch;

  CRalImage& m_Image;
  double m_dScore = 0.0;
  bool m_bKeep = false;
  std::unique_ptr<Reference> m_pReference;
  std::unique_ptr<Scratch> m_pScratch;
};
