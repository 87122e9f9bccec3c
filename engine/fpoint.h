// CfPoint: a position on an image in pixels, with double coordinates (0-based, x along a
// row, y across rows).
#pragma once

struct CfPoint {
  double x = 0.0;
  double y = 0.0;

  CfPoint() = default;
  CfPoint(double px, double py) : x(px), y(py) {}
  void Set(int px, int py) {
    x = px;
    y = py;
  }
  void Set(double px, double py) {
    x = px;
    y = py;
  }
};
