// The region file commands of the measurement dialogs and the graph dialog: the file
// dialogs that ask where to write (image pixels or the sky) and what to read, and the
// messages of a failure or of shapes passed over.
#pragma once

#include <string>
#include <vector>

#include "measure/regions.h"

class QWidget;

namespace regions_text {
inline constexpr const char* kSave = "DS9 ﾘｰｼﾞｮﾝ保存...";
inline constexpr const char* kLoad = "DS9 ﾘｰｼﾞｮﾝ読込...";
inline constexpr const char* kFilterImage = "DS9 ﾘｰｼﾞｮﾝ 画像座標 (*.reg)";
inline constexpr const char* kFilterSky = "DS9 ﾘｰｼﾞｮﾝ 天球座標 (*.reg)";
inline constexpr const char* kFilterRead = "DS9 ﾘｰｼﾞｮﾝ (*.reg)";
inline constexpr const char* kFilterAll = "すべてのﾌｧｲﾙ (*)";
inline constexpr const char* kWriteFailed = "DS9 ﾘｰｼﾞｮﾝﾌｧｲﾙを保存できません。";
inline constexpr const char* kReadFailed = "DS9 ﾘｰｼﾞｮﾝﾌｧｲﾙを読み込めません。";
// "%d" shapes read, "%d" passed over.
inline constexpr const char* kSkipped = "%d 個の図形を読み込み、%d 個の図形は読み飛ばしました。";
}  // namespace regions_text

// Asks for the file (the sky offered when the image has celestial coordinates DS9 knows)
// and writes the shapes; a failure is shown. True when written.
bool SaveRegionsAsked(QWidget* parent, const CImage& image, const std::vector<RegionShape>& shapes,
                      const std::string& suffix);
// Asks for a region file and reads it for the image; a failure is shown. True when read.
bool LoadRegionsAsked(QWidget* parent, const CImage& image, RegionImport* out);
// Says how many shapes were taken and passed over, when some were passed over.
void ReportRegionsSkipped(int taken, int skipped);
