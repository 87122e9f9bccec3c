// Centres of gravity over a plane already in memory, for callers that hold the whole
// plane and measure many small boxes of it; and the centre of gravity of a whole frame's
// light above its sky, by which stacking lays frames of a star field on each other.
#pragma once

#include "platform/wintypes.h"

class CImage;

// CRalImage::GetCenterOfGravity over width × height 32-bit samples, row after row, blank
// pixels as NaN. For samples that are the image's physical values it gives exactly what
// GetCenterOfGravity gives, without going through the pager.
int CenterOfGravityOfPlane(double& x, double& y, const RECT& area, const float* plane, int width,
                           int height);

// Centre of gravity (0-based pixel coordinates) of plane 0 of the whole image above its
// sky. The sky is the median of the plane and its noise 1.4826 times the median absolute
// deviation from it, both taken over at most kSkySamples pixels spread evenly over the
// plane; a pixel weighs its value above the sky plus kSkyNoiseTimes times the noise, and
// pixels at or below that weigh nothing. Blank, NaN and infinite pixels are left out.
//
// GetCenterOfGravity weighs every pixel above the smallest one, so on a star field the
// sky, spread evenly, holds the centre near the middle of the frame whatever the stars
// do; weighing only what stands out of the sky's noise lets the stars alone decide.
// Returns 1; 0 (x and y untouched) when nothing stands above the sky (a flat or empty
// frame, every pixel blank) or a row cannot be read. Memory: the sample and one row.
inline constexpr long long kSkySamples = 1 << 20;
inline constexpr double kSkyNoiseTimes = 3.0;
int CenterOfGravityAboveSky(const CImage& image, double& x, double& y);
