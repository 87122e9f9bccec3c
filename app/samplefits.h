// A synthetic star field for the bundled sample: sky with noise and stars of several
// brightnesses as Gaussian profiles, with a TAN world-coordinate header, written as a
// 16-bit FITS file through the project's own writer.
#pragma once

#include <string>

// Returns the FITS writer's code (0 on success). seed makes the field repeatable.
int WriteSampleStarField(const std::string& path, int width = 512, int height = 512,
                         unsigned seed = 20240601u);
