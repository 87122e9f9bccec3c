// Arithmetic with one value over the rows of every plane.
#include "engine/imgcalc.h"

#include <cmath>
#include <string>

#include "engine/imgrowop.h"
#include "engine/ralimage.h"

int CImgCalculation::Do(double value, int operation, int cutMinus, const CRalImage* source,
                        const RECT* rect, int showProgress) {
  if (operation < kAdd || operation > kDivide) return 0;
  const CImage& src = source ? *source : m_Image;
  if (!imgsample::SameGeometry(m_Image, src)) return 0;
  const RECT r = imgsample::ClampedRect(m_Image, rect);
  return imgsample::ForEachRow(
      m_Image, src, r, showProgress, "演算中...", [&](int, int, double* v) {
        for (int x = r.left; x < r.right; ++x) {
          double out;
          switch (operation) {
            case kAdd:
              out = v[x] + value;
              break;
            case kSubtract:
              out = v[x] - value;
              break;
            case kMultiply:
              out = v[x] * value;
              break;
            default:
              out = value == 0.0 ? (std::isnan(v[x]) ? v[x] : 0.0) : v[x] / value;
              break;
          }
          if (cutMinus && out < 0) out = 0;
          v[x] = out;
        }
        return true;
      });
}
