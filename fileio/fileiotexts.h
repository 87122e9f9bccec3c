// The texts of the file input and output dialogs and messages, named by their string ids
// so that tests can compare the exact words. Filter lists use the '|' form (description,
// then ';'-separated patterns, each entry ended by '|', the list by a second '|').
#pragma once

#include <string_view>

namespace fileio_text {

// ---- progress captions
inline constexpr std::string_view kReading = "ファイルの読み込み中...";                   // 19137
inline constexpr std::string_view kSaving = "ファイルの保存中...";                        // 19138
inline constexpr std::string_view kChangingBits = "ビット数変換中...";                    // 19139
inline constexpr std::string_view kFromClipboard = "クリップボードから画像を転送中...";  // 19140
inline constexpr std::string_view kToClipboard = "クリップボードに転送中...";            // 19141
inline constexpr std::string_view kConverting = "データ変換中...";                        // 19158

// ---- open dialogs
// The FITS entries take gzip-packed and tile-compressed files too (".fits.gz", ".fits.fz",
// ".fts.gz", and any ".gz" or ".fz"): the dispatcher opens and saves them as FITS.
inline constexpr std::string_view kFilterMain =  // 19097
    "FITSﾌｧｲﾙ(*.fit,*.fts,*.fits,*.gz,*.fz)|*.fit;*.fts;*.fits;*.fits.gz;*.fits.fz;*.fts.gz;*.gz;"
    "*.fz;*.FIT;*.FTS;*.FITS;*.FITS.GZ;*.FITS.FZ;*.FTS.GZ;*.GZ;*.FZ|"
    "BMP/DIBﾌｧｲﾙ(*.bmp,*.dib)|*.bmp;*.dib;*.BMP;*.DIB|"
    "Bitranﾌｧｲﾙ(*.ccd,*.drk,*.flt,*.fdk)|*.ccd;*.drk;*.flt;*.fdk;*.CCD;*.DRK;*.FLT;*.FDK|";
inline constexpr std::string_view kFilterRaster =  // 19098
    "GIFﾌｧｲﾙ(*.gif)|*.gif;*.GIF|"
    "JPEGﾌｧｲﾙ(*.jpg,*.jpeg)|*.jpg;*.jpeg;*.JPG;*.JPEG|"
    "Mutohﾌｧｲﾙ(*.mtf,*.bin)|*.mtf;*.bin;*.MTF;*.BIN|"
    "PNGﾌｧｲﾙ(*.png)|*.png;*.PNG|";
inline constexpr std::string_view kFilterSbig =  // 19099
    "SBIGﾌｧｲﾙ(*.st*,*.sbig,*.237,*.255,*.[rgb])|"
    "*.st*;*.ST*;*.sbig;*.SBIG;*.2k;*.2K;*.237;*.255;*.r;*.R;*.g;*.G;*.b;*.B|";
inline constexpr std::string_view kFilterTiff =  // 19100
    "TIFFﾌｧｲﾙ(*.tif,*.tiff)|*.tif;*.tiff;*.TIF;*.TIFF|";
inline constexpr std::string_view kFilterRaw =  // 19106
    "RAWﾌｧｲﾙ(*.raw)|*.raw;*.RAW|すべてのﾌｧｲﾙ(*.*)|*.*||";
inline constexpr std::string_view kFilterFits =  // 19129
    "FITSﾌｧｲﾙ(*.fts,*.fit,*,fits,*.gz,*.fz)|*.fts;*.fit;*.fits;*.fits.gz;*.fits.fz;*.fts.gz;*.gz;"
    "*.fz|すべてのﾌｧｲﾙ(*.*)|*.*||";
inline constexpr std::string_view kOpenImageTitle = "画像ﾌｧｲﾙを開く";  // 19102
inline constexpr std::string_view kOpenDataTitle = "ﾃﾞｰﾀを開く";       // 19161

// ---- save-as dialog
inline constexpr std::string_view kSaveFilterBmp = "BMP/DIBﾌｧｲﾙ(*.bmp,*.dib)|*.bmp;*.dib|";  // 19136
inline constexpr std::string_view kSaveFilterFits =  // 19103
    "FITSﾌｧｲﾙ(*.fts,*.fit,*.fits,*.gz,*.fz)|*.fts;*.fit;*.fits;*.fits.gz;*.fits.fz;*.fts.gz;*.gz;"
    "*.fz|";
inline constexpr std::string_view kSaveFilterGif = "GIFﾌｧｲﾙ(*.gif)|*.gif|";  // 19104, part 1
inline constexpr std::string_view kSaveFilterJpeg =                          // 19104, part 2
    "JPEGﾌｧｲﾙ(*.jpg,*.jpeg)|*.jpg;*.jpeg|";
inline constexpr std::string_view kSaveFilterMutoh =  // 19104, the two Mutoh entries
    "Mutoh MTFﾌｧｲﾙ(*.mtf)|*.mtf|Mutoh BINﾌｧｲﾙ(*.bin)|*.bin|";
inline constexpr std::string_view kSaveFilterPng = "PNGﾌｧｲﾙ(*.png)|*.png|";  // 19104, last
inline constexpr std::string_view kSaveFilterSbig =                          // 19121
    "SBIGﾌｧｲﾙ(*.st7,*.st8,...,*.sbig)|*.st7;*.st8;*.st9;*.st10;*.st6;*.st5;*.st4;*.stx;*.st2k;"
    "*.st1k;*.stv;*.237;*.255;*.sbig|";
inline constexpr std::string_view kSaveFilterTiff = "TIFFﾌｧｲﾙ(*.tif,*.tiff)|*.tif;*.tiff|";  // 19122
inline constexpr std::string_view kSaveTitle = "画像ﾌｧｲﾙの保存";  // 19105
inline constexpr std::string_view kSaveNoName = "保存するファイル名を指定してください。";  // 19155
inline constexpr std::string_view kSaveNotSaveable =
    "指定されたファイル形式では保存できません。";  // 19156
inline constexpr std::string_view kSaveUnknownType =
    "保存するファイルの形式を特定できません。";  // 19157
inline constexpr std::string_view kSaveNoOverwrite =  // 19159
    "一部の操作を行なった場合は、上書き保存はできません。別名で保存してください。";

// ---- raw dialog
inline constexpr std::string_view kRawTitle = "RAW形式読み込み設定";
inline constexpr std::string_view kRawNotFound = "ファイルがみつかりません。\n%s";  // 19143
inline constexpr std::string_view kRawWidth = "幅は0から9999の間で入力してください。";    // 19146
inline constexpr std::string_view kRawHeight = "高さは0から9999の間で入力してください。";  // 19147
inline constexpr std::string_view kRawHeader =
    "ヘッダサイズには0以上の数値を入力してください。";  // 19148
inline constexpr std::string_view kRawInt64 = "64ビットの整数データは使用できません。";  // 19149
inline constexpr std::string_view kRawRealBits =
    "実数データは32または64ビットを選択してください。";  // 19150
inline constexpr std::string_view kRawSigned8 = "8ビットの符号付きデータは使用できません。";  // 19151
inline constexpr std::string_view kRawUnsignedReal = "符号のない実数データは扱えません。";  // 19152
inline constexpr std::string_view kRawTooSmall =
    "指定されたパラメータで読み込むには、ファイルが小さすぎます。";  // 19153
inline constexpr std::string_view kRawTailUnused =
    "指定されたパラメータで読み込むと、ファイルの末尾が使用されません。";  // 19154

// ---- plane dialog
inline constexpr std::string_view kFits3DTitle = "ﾏﾙﾁﾌﾟﾚｰﾝFITS読み込み設定";
inline constexpr std::string_view kFits3DGray = "ｸﾞﾚｰｽｹｰﾙ画像";
inline constexpr std::string_view kFits3DColor = "ｶﾗｰ画像";
inline constexpr std::string_view kFits3DPlaneLabel = "第 %d";

// ---- save options
inline constexpr std::string_view kSaveFitsTitle = "FITS保存設定";  // 19002
inline constexpr std::string_view kSaveFitsInteger = "整数";
inline constexpr std::string_view kSaveFitsReal = "実数";
inline constexpr std::string_view kSaveFitsBad =  // 19109
    "保存できるFITS形式は整数8/16/32ビット、および実数32/64ビットです。";
inline constexpr std::string_view kChangeBitsTitle = "FITS保存";  // 19011
inline constexpr std::string_view kChangeBitsQuestion =
    "指定されたﾋﾞｯﾄ数では、ﾚﾍﾞﾙ範囲内のﾃﾞｰﾀの一部が失われます。";
inline constexpr std::string_view kChangeBitsClip =
    "指定ﾋﾞｯﾄ数におさまらないﾃﾞｰﾀを最大値、最小値に切りつめる";
inline constexpr std::string_view kChangeBitsCompress =
    "指定ﾋﾞｯﾄ数におさまるようにﾃﾞｰﾀ全体を圧縮する";
inline constexpr std::string_view kSaveTiffTitle = "TIFF保存設定";  // 19001
inline constexpr std::string_view kSaveJpegTitle = "JPEG保存設定";  // 19000
inline constexpr std::string_view kSaveJpegProgressive = "ﾌﾟﾛｸﾞﾚｯｼﾌﾞJPEG形式で保存(&P)";
inline constexpr std::string_view kJpegQualityNotNumber =
    "画質は整数(1～10)で入力してください。";  // 19123
inline constexpr std::string_view kJpegQualityRange =
    "画質は1から10の範囲で指定してください。10で最高画質になります。";  // 19108
inline constexpr std::string_view kSavePngTitle = "PNG保存設定";  // 19013
inline constexpr std::string_view kSavePngInterlace = "ｲﾝﾀｰﾚｰｽで保存(&I)";
// Labels of the quality and compression sliders (1 .. 10) and of the plane count.
inline constexpr std::string_view kSaveJpegQuality = "画質(&Q)：";
inline constexpr std::string_view kSaveJpegQualityLow = "低";
inline constexpr std::string_view kSaveJpegQualityHigh = "高";
inline constexpr std::string_view kSavePngLevel = "圧縮ﾚﾍﾞﾙ(&L)：";
inline constexpr std::string_view kSavePngLevelLow = "速い";
inline constexpr std::string_view kSavePngLevelHigh = "小さい";
inline constexpr std::string_view kFits3DPlaneCount = "ﾌﾟﾚｰﾝ数：";
inline constexpr std::string_view kFitsUnitTitle = "FITS画像の選択";
inline constexpr std::string_view kFitsUnitLabel =
    "このﾌｧｲﾙには複数の画像があります。開く画像を選んでください：";
inline constexpr std::string_view kFitsUnitSize = "ｻｲｽﾞ";
inline constexpr std::string_view kFitsUnitType = "型";
inline constexpr std::string_view kSaveBmpTitle = "BMP/DIB保存設定";  // 19005
inline constexpr std::string_view kSaveGifTitle = "GIF保存設定";      // 19004
inline constexpr std::string_view kSaveGifNote = "画像をGIF形式で保存した場合、256色に減色します。";
inline constexpr std::string_view kSaveSbigTitle = "SBIG保存設定";  // 19006
inline constexpr std::string_view kSaveSbigCompress = "圧縮(&C)";
inline constexpr std::string_view kBits8 = "8 ﾋﾞｯﾄ";
inline constexpr std::string_view kBits16 = "16 ﾋﾞｯﾄ";
inline constexpr std::string_view kBits24 = "24 ﾋﾞｯﾄ";
inline constexpr std::string_view kBits32 = "32 ﾋﾞｯﾄ";
inline constexpr std::string_view kBits64 = "64 ﾋﾞｯﾄ";

// ---- refusals of the writers
inline constexpr std::string_view kSbigNotSbig =
    "SBIG形式でないファイルをSBIG形式には保存できません。";  // 19117
inline constexpr std::string_view kSbigOtherType =
    "読み込んだファイル形式以外のSBIG形式では保存できません。";  // 19118
inline constexpr std::string_view kSbigChanged =
    "データ形式が変更されているため、SBIG形式では保存できません。";  // 19119
inline constexpr std::string_view kSbigColor = "SBIG形式でカラーイメージを保存することはできません。";  // 19120
inline constexpr std::string_view kMutohColor =
    "Mutoh形式でカラーイメージを保存することはできません。";  // 19130

// ---- original format names that saving sets
inline constexpr std::string_view kFormatFits = "FITS";                 // 19126
inline constexpr std::string_view kFormatMutohBin = "Mutoh BIN ﾌｫｰﾏｯﾄ";  // 19127
inline constexpr std::string_view kFormatMutohMtf = "Mutoh MTF ﾌｫｰﾏｯﾄ";  // 19128
inline constexpr std::string_view kFormatRaw = "Rawイメージ";
inline constexpr std::string_view kFormatBitran = "BITRAN";
inline constexpr std::string_view kFormatJpeg = "JPEG";                    // 19115
inline constexpr std::string_view kFormatJpegProgressive = "JPEG (ﾌﾟﾛｸﾞﾚｯｼﾌﾞ)";  // 19116
inline constexpr std::string_view kFormatPng = "PNG";                      // 19162
inline constexpr std::string_view kFormatBmp = "BMP (無圧縮)";             // 19131
inline constexpr std::string_view kClipboardName = "Clipboard";

}  // namespace fileio_text
