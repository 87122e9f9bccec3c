// Robust statistics of a handful of values, shared by the frame combination and the
// overscan level: the median and an iterative sigma clip about it.
//
// The clip follows the usual astronomical recipe (the one astropy.stats.sigma_clip runs
// with cenfunc='median', stdfunc='std'): each pass takes the median m and the population
// standard deviation s of the values still kept and drops those below m − 3 s or above
// m + 3 s; it stops when a pass drops nothing, after kClipIterations passes, or before a
// pass that would leave fewer than kClipMinKept values (or fewer than were given, when
// fewer were given), so a clipped result always rests on at least three values.
#pragma once

namespace imgclip {

constexpr double kClipSigma = 3.0;
constexpr int kClipIterations = 5;
constexpr int kClipMinKept = 3;

// The median of v[0 … n − 1] (reordered): the middle value, or for an even count the
// mean of the two middle ones, (a + b) / 2. NaN for n = 0.
double Median(double* v, int n);

// Clips v[0 … n − 1] (all finite) as above; the kept values end up in v[0 … kept − 1],
// in no particular order. Returns kept.
int SigmaClip(double* v, int n);

// The mean of v[0 … n − 1]; NaN for n = 0.
double Mean(const double* v, int n);

}  // namespace imgclip
