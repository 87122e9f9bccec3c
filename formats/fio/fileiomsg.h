// The messages of file errors: one Japanese text per result code of the readers, writers
// and the save path (fileiocodes.h), and the box that shows it through the MessageBox
// service. The command-line tool prints FileioMessageText instead of showing a box.
#pragma once

#include <string>
#include <string_view>

#include "fits/fileiocodes.h"

// The texts, named by their code.
inline constexpr std::string_view kFioMsgCreate =
    "ファイルを作成できません。フォルダがあるか、書き込みが許可されているかを確認してください。";
inline constexpr std::string_view kFioMsgOpen =
    "ファイルを開くことができません。ファイルがあるか、読み込みが許可されているかを確認してください"
    "。";
inline constexpr std::string_view kFioMsgShort =
    "ファイルが途中で終わっています。ヘッダまたは画像データが不足しています。";
inline constexpr std::string_view kFioMsgWrite =
    "ファイルの書き込み中にエラーが発生しました。ディスクの空き容量を確認してください。";
inline constexpr std::string_view kFioMsgTooLarge =
    "ファイルの書き込み中にエラーが発生しました。ファイルサイズの上限を超えています。";
inline constexpr std::string_view kFioMsgMemory =
    "メモリが不足しています。「環境設定」の仮想メモリの設定を確認してください。";
inline constexpr std::string_view kFioMsgFormat =
    "ファイルの形式が正しくないか、読み込めない種類のデータです。";
inline constexpr std::string_view kFioMsgUnknownType = "ファイルの形式を特定できません。";
inline constexpr std::string_view kFioMsgHeader =
    "ファイルのヘッダに不正な値があるか、対応していないバージョンのファイルです。";
inline constexpr std::string_view kFioMsgBuildHeader =
    "画像の情報からファイルのヘッダを作成できません。";
inline constexpr std::string_view kFioMsgClipboardEmpty = "クリップボードに画像がありません。";
inline constexpr std::string_view kFioMsgClipboardOpen = "クリップボードを開くことができません。";
inline constexpr std::string_view kFioMsgClipboardWrite = "クリップボードに画像を転送できません。";
inline constexpr std::string_view kFioMsgBitranSave =
    "Bitran形式では保存できません。別のファイル形式を選んでください。";
inline constexpr std::string_view kFioMsgOverwrite =
    "一部の操作を行なった画像は、元のファイルに上書き保存できません。別名で保存してください。";
inline constexpr std::string_view kFioMsgFitsSave =
    "この画像はFITS形式では保存できません。別のファイル形式を選んでください。";
inline constexpr std::string_view kFioMsgFrameSmall =
    "画像が小さすぎるため、カラー画像に変換できません。カラーの画像には縦横2画素以上が必要です。"
    "ファイルが壊れていないかを確認してください。";
inline constexpr std::string_view kFioMsgUsfNotFits =
    "「<USF>」はFITSファイルの整数データを符号なしとして読むための指定です。"
    "FITS以外のファイルには使えません。";
inline constexpr std::string_view kFioMsgFolder =
    "フォルダです。ファイルの名前を指定してください。";
inline constexpr std::string_view kFioMsgNotRegular =
    "通常のファイルではありません(デバイス、パイプ、ソケットなど)。通常のファイルを指定してください"
    "。";
inline constexpr std::string_view kFioMsgLinkLoop =
    "シンボリックリンクが循環しているため、ファイルにたどり着けません。";
inline constexpr std::string_view kFioMsgNoImage =
    "このFITSファイルには画像がありません。テーブルなど画像以外のデータのみです。";
inline constexpr std::string_view kFioMsgNoUnit =
    "指定された拡張部(HDU)はこのFITSファイルにありません。";
inline constexpr std::string_view kFioMsgCompressed =
    "圧縮されたデータが壊れているか途中で終わっているため、展開できません。";
inline constexpr std::string_view kFioMsgExtraAxis =
    "4番目以降の軸(NAXIS4 など)の長さが1より大きい画像です。"
    "読み込めるのは3次元までの画像(4番目以降の軸の長さがすべて1のもの)です。";
inline constexpr std::string_view kFioMsgForeignLink =
    "誰でも書き込めるフォルダ(/tmp など)に他のユーザーが作ったシンボリックリンクです。"
    "リンク先のファイルを置き換えないよう、保存しませんでした。別の名前を指定してください。";
inline constexpr std::string_view kFioMsgNameTooLong =
    "ファイル名が長すぎます。ファイル名は255バイト(日本語は1文字3バイト)まで、"
    "フォルダを含めたパスは4095バイトまでにしてください。";
inline constexpr std::string_view kFioMsgBadUnit =
    "拡張部(HDU)の指定が正しくありません。番号と EXTVER には 0 から 2147483647 までの整数を"
    "指定してください(例: file.fits[1]、file.fits[SCI,2])。";
// Any other code; %d is replaced by the code.
inline constexpr std::string_view kFioMsgOther =
    "ファイルの入出力でエラーが発生しました。(エラーコード %d)";

// A FITS file that ends inside one of its extensions: the file opens without it. %d is
// the extension's place among the file's extensions, %s its name in brackets, or nothing.
inline constexpr std::string_view kFioMsgExtensionCut =
    "ファイルが %d 番目の Extension%s の途中で終わっています。"
    "主画像とそれより前の Extension は読み込みましたが、壊れたこの Extension は読み込まず、"
    "保存しても残りません。";

// A FITS extension whose header cannot be parsed (a damaged XTENSION card, no END): the
// file opens with it kept as bytes, written back unchanged on a save. %d and %s as above.
inline constexpr std::string_view kFioMsgExtensionDamaged =
    "%d 番目の Extension%s のヘッダが壊れていて読み取れません。"
    "この Extension は読み込まず、ファイルにあったとおりのバイトのまま保持し、"
    "保存するときもそのまま書き込みます。";

// A file of 64-bit integers some of whose values doubles, the widest type of an image,
// do not hold exactly.
inline constexpr std::string_view kFioMsgInt64Rounded =
    "64ビット整数の画像を64ビット実数として読み込みました。"
    "絶対値が 2^53 (9007199254740992) を超える値は正確に表せないため、"
    "最も近い実数に丸められています。保存すると64ビット実数で書き込まれます。";

// The text for a code: the file's path on a line of its own, then the message. The path
// is left out when it is empty and for the codes that concern the image or the clipboard
// rather than a file (callers pass the name "Clipboard" with those). Empty for
// FIO_OK and FIO_ERR_CANCELLED, which have nothing to say.
std::string FileioMessageText(int code, const std::string& path);

// The warning for a file read without its cut-off extension: the path on a line of its
// own, then kFioMsgExtensionCut for extension `number` named `name` (may be empty).
std::string FileioCutExtensionText(const std::string& path, int number, const std::string& name);
// The same with kFioMsgExtensionDamaged, for an extension kept as bytes.
std::string FileioDamagedExtensionText(const std::string& path, int number,
                                       const std::string& name);

// Shows the text of a code with the exclamation, stop or other style given, under title
// (the application title when empty). Returns the button chosen, or 0 when nothing was
// shown (FIO_OK, FIO_ERR_CANCELLED). owner is the window the box belongs to; the message
// box service places its boxes itself, so it is not used here.
int FileioMsgBox(void* owner, int code, const std::string& title, const std::string& path,
                 unsigned style);
