// The cut copies the kept part of each row into one buffer first, then gives the image a
// store of the new size and writes the rows back: the old store is only read, so a failure
// on the way leaves the image as it was.
#include "engine/imgcrop.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "engine/pixelmove.h"
#include "engine/ralimage.h"

namespace {

const std::string kCaption = "切り抜き中...";

}  // namespace

int CImgCrop::Do(const RECT& rect, CRalImage& image, int showProgress) {
  if (image.IsEmpty() || image.GetWidth() <= 0 || image.GetHeight() <= 0) return 0;
  const int oldWidth = image.GetWidth(), oldHeight = image.GetHeight();
  const int left = std::max(rect.left, 0), top = std::max(rect.top, 0);
  const int right = std::min(rect.right, image.GetWidth());
  const int bottom = std::min(rect.bottom, oldHeight);
  if (right <= left || bottom <= top) return 0;
  const int width = right - left, height = bottom - top, planes = image.GetPlanes();
  const std::size_t rowBytes = static_cast<std::size_t>(width) * image.GetBytesPixel();

  std::vector<std::uint8_t> kept;
  try {
    kept.resize(rowBytes * static_cast<std::size_t>(height) * static_cast<std::size_t>(planes));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  image.ShowProgressInit(showProgress, kCaption, 2LL * height * planes);
  std::uint8_t* out = kept.data();
  for (int p = 0; p < planes; ++p) {
    for (int y = top; y < bottom; ++y, out += rowBytes) {
      const void* adr = static_cast<const CImage&>(image).GetImageAdr(left, y, p);
      if (!adr) {
        image.ShowProgressEnd();
        return 0;
      }
      std::memcpy(out, adr, rowBytes);
      image.ShowProgress(1);
    }
  }
  if (!image.ChangeSize(width, height)) {
    image.ShowProgressEnd();
    return 0;
  }
  const std::uint8_t* in = kept.data();
  for (int p = 0; p < planes; ++p) {
    for (int y = 0; y < height; ++y, in += rowBytes) {
      void* adr = image.GetImageAdr(0, y, p);
      if (!adr) {
        image.ShowProgressEnd();
        return 0;
      }
      std::memcpy(adr, in, rowBytes);
      image.ShowProgress(1);
    }
  }
  image.ShowProgressEnd();

  FollowPixelMove(image, CPixelMove::Crop(oldWidth, oldHeight, RECT{left, top, right, bottom}));
  image.CalcMinMax();
  return 1;
}
