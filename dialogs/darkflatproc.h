// Calibration of one image with bias, dark and flat frames, as the calibration dialog
// runs it: the frames are optional, each is checked against the image's size, and a
// frame subtracted from the image lowers the image's display levels by its mean so that
// the picture keeps its look.
#pragma once

class CRalImage;
class ProgressSink;

namespace darkflat_text {
inline constexpr const char* kCaption = "ﾊﾞｲｱｽ・ﾀﾞｰｸ・ﾌﾗｯﾄ";
inline constexpr const char* kBiasSize =
    "指定したバイアスファイルが元画像とサイズが異なります。";  // 2458
inline constexpr const char* kDarkSize =
    "指定したダークファイルが元画像とサイズが異なります。";  // 2324
inline constexpr const char* kFlatSize =
    "指定したフラットファイルが元画像とサイズが異なります。";  // 2325
}  // namespace darkflat_text

// Which frames take part: a frame is used when its box is on and an image is chosen.
struct DarkFlatFrames {
  bool useBias = false, useDark = false, useFlat = false, useDarkForFlat = false;
  const CRalImage* bias = nullptr;
  const CRalImage* dark = nullptr;
  const CRalImage* flat = nullptr;
  const CRalImage* darkForFlat = nullptr;
};

// What a run did, for the caller and for tests.
struct DarkFlatResult {
  int error = 0;  // set when the bias was asked for without an image: nothing is kept
  bool biasApplied = false, darkApplied = false, flatApplied = false, darkForFlatApplied = false;
};

// target becomes source calibrated with the frames: bias subtracted, then the dark (itself
// less the bias), then divided by the flat (less the bias and less its own dark, when
// those are used). A frame of another size than the source is left out with its message;
// the flat is left out after an error. Returns 0 only when memory runs out or a row
// cannot be reached.
int DarkFlatProc(CRalImage& target, const CRalImage& source, const DarkFlatFrames& frames,
                 ProgressSink* progress, DarkFlatResult* result);

// The image less frame (of the same size), its levels lowered by the frame's mean per
// plane. 0 when the sizes differ or memory runs out.
int SubtractFrame(CRalImage& image, const CRalImage& frame);
