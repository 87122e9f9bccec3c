// CImgFalseColor: the rainbow scale of the false-colour display. A display value 0 to 255
// runs round the hue circle from blue (240°) through cyan, green and yellow to red (0°);
// the colour is the HSV colour of that hue with the given saturation and brightness.
#pragma once

class CImgFalseColor {
 public:
  // value: the display value, clamped to 0..255 (NaN counts as 0). saturation and
  // brightness: 0..1, clamped (NaN counts as 0). r, g, b receive 0..255. Returns 1.
  int GetFalseColor(double value, double saturation, double brightness, float* r, float* g,
                    float* b) const;
};
