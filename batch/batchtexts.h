// The texts of the batch runs (calibration, stacking, overscan), named by their string
// ids so that tests and the dialogs compare the exact words. "%s" stands for a path or a
// list of paths, one a line.
#pragma once

#include <string_view>

namespace batch_text {

inline constexpr std::string_view kBiasSizeDiffers =  // 2458
    "指定したバイアスファイルが元画像とサイズが異なります。";
inline constexpr std::string_view kDarkSizeDiffers =  // 2324
    "指定したダークファイルが元画像とサイズが異なります。";
inline constexpr std::string_view kFlatSizeDiffers =  // 2325
    "指定したフラットファイルが元画像とサイズが異なります。";
inline constexpr std::string_view kOverwrite = "上書き保存をします";  // 2335
inline constexpr std::string_view kFilesExist =                       // 2336
    "以下のファイルがすでに存在します。\n%s\n上書きしますか？";
inline constexpr std::string_view kCreateFolder =  // 2337
    "ディレクトリ %s が存在しません。\n作成しますか?";
inline constexpr std::string_view kAbortCaption = "中断";                                // 2371
inline constexpr std::string_view kOkCaption = "OK";                                     // 2372
inline constexpr std::string_view kFilesMissing = "以下のファイルが存在しません。\n%s";  // 2373
inline constexpr std::string_view kCloseOpened = "開いたファイルを閉じますか？";         // 2384
inline constexpr std::string_view kPreparing = "前処理中...";                            // 2385
inline constexpr std::string_view kTableUnreadable =                                     // 2461
    "このテーブルデータは、読めません。\nテーブルデータの内容を確認してください。";
inline constexpr std::string_view kTableFilesMissing =  // 2462
    "以下のファイルが存在しません。テーブルデータの内容を確認してください。\n%s";
inline constexpr std::string_view kDiscardNewImage = "新規画像を破棄しますか？";  // 2383
inline constexpr std::string_view kBatchComposit = "ﾊﾞｯﾁ・ｺﾝﾎﾟｼﾞｯﾄ";              // 2366
// Not in the string table of the dialogs: the progress caption of a run over its targets.
inline constexpr std::string_view kRunning = "バッチ処理中...";
// Not in the string table of the dialogs: a folder the user agreed to create could not be.
inline constexpr std::string_view kCannotCreateFolder = "ディレクトリ %s を作成できませんでした。";
// Not in the string table of the dialogs: two calibration frames that do not fit each
// other (the first %s the frame subtracted, the second the frame it is subtracted from;
// each one of the names below).
inline constexpr std::string_view kFramesDiffer =
    "指定した%sファイルが%sファイルとサイズが異なります。";
inline constexpr std::string_view kBiasName = "バイアス";
inline constexpr std::string_view kDarkName = "ダーク";
inline constexpr std::string_view kFlatName = "フラット";
inline constexpr std::string_view kFlatDarkName = "フラットのダーク";
// Not in the string table of the dialogs: a calibration frame switched on with no image
// chosen for it (%s one of the names above).
inline constexpr std::string_view kFrameNotChosen =
    "%sファイルが選択されていません。\n使う画像を選ぶか、チェックを外してください。";
// Not in the string table of the dialogs: targets that would be saved under one name, or
// over a file that another target reads; each listed as "source -> output", one a line.
inline constexpr std::string_view kSameOutput =
    "以下のファイルは保存先が重なるため、処理できません。\n%s";

}  // namespace batch_text
