// Centres of gravity over a plane already in memory, for callers that hold the whole
// plane and measure many small boxes of it.
#pragma once

#include "platform/wintypes.h"

// CRalImage::GetCenterOfGravity over width × height 32-bit samples, row after row, blank
// pixels as NaN. For samples that are the image's physical values it gives exactly what
// GetCenterOfGravity gives, without going through the pager.
int CenterOfGravityOfPlane(double& x, double& y, const RECT& area, const float* plane, int width,
                           int height);
