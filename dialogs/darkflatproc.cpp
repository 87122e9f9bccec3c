// The calibration sequence: bias, dark (bias-corrected), flat (bias- and dark-corrected),
// each frame checked against the image's size and reported by its own message.
#include "dialogs/darkflatproc.h"

#include <algorithm>
#include <memory>
#include <new>

#include "dialogs/vumdialog.h"
#include "engine/ralimage.h"
#include "platform/messagebox.h"

namespace {

bool SameSize(const CRalImage& a, const CRalImage& b) {
  return a.GetWidth() == b.GetWidth() && a.GetHeight() == b.GetHeight();
}

void Tell(const char* text) {
  AfxMessageBox(text, MB_OK | MB_ICONEXCLAMATION);
}

// A working copy of frame, less the bias when one is given. Null when memory runs out.
std::unique_ptr<CRalImage> Corrected(const CRalImage& frame, const CRalImage* bias) {
  auto copy = std::make_unique<CRalImage>(frame);
  if (copy->IsEmpty()) return nullptr;
  // A bias of another size than this frame leaves the frame as it is.
  if (bias && SameSize(*copy, *bias)) (void)SubtractFrame(*copy, *bias);
  return copy;
}

}  // namespace

int SubtractFrame(CRalImage& image, const CRalImage& frame) {
  if (!image.DarkClbrtn(frame, 1)) return 0;
  for (int p = 0; p < image.GetPlanes(); ++p) {
    const double mean = frame.GetAvrGrayRaw(std::min(p, frame.GetPlanes() - 1));
    image.SetLevel(p, image.GetLevelMin(p) - mean, image.GetLevelMax(p) - mean);
  }
  return 1;
}

int DarkFlatProc(CRalImage& target, const CRalImage& source, const DarkFlatFrames& frames,
                 ProgressSink* progress, DarkFlatResult* out) {
  DarkFlatResult result;
  try {
    if (!target.CopyImage(source, progress, vum::kPreprocessCaption)) return 0;

    const CRalImage* bias = nullptr;
    if (frames.useBias) {
      if (!frames.bias) {
        result.error = 1;
      } else if (SameSize(*frames.bias, target)) {
        if (!SubtractFrame(target, *frames.bias)) return 0;
        bias = frames.bias;
        result.biasApplied = true;
      } else {
        Tell(darkflat_text::kBiasSize);
      }
    }

    if (frames.useDark && frames.dark) {
      std::unique_ptr<CRalImage> dark = Corrected(*frames.dark, bias);
      if (!dark) return 0;
      if (SameSize(*dark, target)) {
        if (!SubtractFrame(target, *dark)) return 0;
        result.darkApplied = true;
      } else {
        Tell(darkflat_text::kDarkSize);
      }
    }

    if (frames.useFlat && frames.flat && !result.error) {
      if (!SameSize(*frames.flat, target)) {
        Tell(darkflat_text::kFlatSize);
      } else {
        std::unique_ptr<CRalImage> flat = Corrected(*frames.flat, bias);
        if (!flat) return 0;
        if (frames.useDarkForFlat && frames.darkForFlat) {
          std::unique_ptr<CRalImage> dark = Corrected(*frames.darkForFlat, bias);
          if (!dark) return 0;
          if (SameSize(*dark, *flat)) {
            if (!SubtractFrame(*flat, *dark)) return 0;
            result.darkForFlatApplied = true;
          } else {
            Tell(darkflat_text::kDarkSize);
          }
        }
        if (!target.FlatClbrtn(*flat, 1)) return 0;
        result.flatApplied = true;
      }
    }
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (out) *out = result;
  return 1;
}
