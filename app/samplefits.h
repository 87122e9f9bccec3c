// A synthetic star field for the bundled sample: sky with noise and stars of several
// brightnesses as Gaussian profiles, with a TAN world-coordinate header, written as a
// 16-bit FITS file through the project's own writer.
#pragma once

#include <string>
#include <vector>

// A star the field was given: 0-based image position and peak above the sky.
struct SampleStar {
  double x, y, amplitude;
};

// Returns the FITS writer's code (0 on success). seed makes the field repeatable; stars,
// when given, receives the stars placed.
int WriteSampleStarField(const std::string& path, int width = 512, int height = 512,
                         unsigned seed = 20240601u, std::vector<SampleStar>* stars = nullptr);
