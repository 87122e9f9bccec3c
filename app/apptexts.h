// The texts the program shows, named by the string ids they carry in the menus and
// messages, so that tests can assert the exact words.
#pragma once

namespace app_text {

inline constexpr const char* kTitle = "Tolvena画像処理ｿﾌﾄ：Vantorel";  // 4100, 57344
inline constexpr const char* kDocumentType = "Vantorel.Document";      // 4225
inline constexpr const char* kMutexName = "Tolvena Image Processor : Vantorel";

// Messages.
inline constexpr const char* kExitQuestion =
    "Tolvena画像処理ソフト：Vantorelを終了します。";  // 4211
inline constexpr const char* kBlinkRunning =
    "ブリンク中の画像ウィンドウを閉じることができません。ブリンクを停止してください。";  // 62008
inline constexpr const char* kRestartSystem =
    "この設定は、Windowsを再起動すると反映されます。";  // 4221
inline constexpr const char* kRestartProgram =
    "この設定は、Vantorelを再起動すると反映されます。";  // 4223
inline constexpr const char* kPrintMagRange =
    "印刷倍率には 1 以上 10000 未満の数値を入力してください。";  // 4220
inline constexpr const char* kPrintMagZero =
    "拡大率に 0 以下の値が指定されています。「印刷設定」を確認してください。";  // 4219
inline constexpr const char* kPrintSize = "横 %.1f × 縦 %.1f";                  // 4218
inline constexpr const char* kSaveChangesQuestion = "%s への変更を保存しますか？";
inline constexpr const char* kMoreWindows = "その他のｳｨﾝﾄﾞｳ(&M)...";  // 4224
inline constexpr const char* kSelectWindow = "ｳｨﾝﾄﾞｳの選択";
inline constexpr const char* kStatusTool = "ﾃﾞｰﾀ処理表示 ： OFF*";  // 59143
inline constexpr const char* kReady = "ﾚﾃﾞｨ";
// Shown while a change to the settings waits for another process's lock (the lock file).
inline constexpr const char* kSettingsLockWait =
    "他のﾌﾟﾛｾｽが設定ﾌｧｲﾙを使用中です。待機しています： %s";

// The socket through which later starts hand their files to the running copy: the
// message names the socket and the reason it could not be made.
inline constexpr const char* kSocketFailed =
    "起動中のVantorelにファイルを渡すためのソケット %s を作成できません。\n%s\n"
    "Vantorelを起動するたびに新しいウィンドウが開きます。";
inline constexpr const char* kSocketNoFolder = "フォルダーを作成できません。";
inline constexpr const char* kSocketNotAFolder =
    "フォルダーの名前でフォルダー以外のものがあります。";
inline constexpr const char* kSocketFolderNotOwned = "フォルダーの所有者が別のユーザーです。";
inline constexpr const char* kSocketFolderOpen = "フォルダーに他のユーザーがアクセスできます。";
inline constexpr const char* kSocketFileInPlace = "同じ名前でソケット以外のファイルがあります。";
inline constexpr const char* kSocketOtherUser = "別のユーザーのプログラムが使用しています。";
inline constexpr const char* kSocketNoAnswer = "起動中のVantorelが応答しません。";
inline constexpr const char* kSocketListenFailed = "システムがソケットの作成を拒否しました。";

// Menu titles.
inline constexpr const char* kMenuFile = "ﾌｧｲﾙ(&F)";
inline constexpr const char* kMenuEdit = "編集(&E)";
inline constexpr const char* kMenuView = "表示(&V)";
inline constexpr const char* kMenuArith = "画像演算(&C)";
inline constexpr const char* kMenuInfo = "画像情報(&I)";
inline constexpr const char* kMenuProcess = "ﾃﾞｰﾀ処理(&D)";
inline constexpr const char* kMenuFirstOrder = "一次処理(&P)";
inline constexpr const char* kMenuWindow = "ｳｨﾝﾄﾞｳ(&W)";
inline constexpr const char* kMenuHelp = "ﾍﾙﾌﾟ(&H)";
inline constexpr const char* kMenuRecent = "最近使ったﾌｧｲﾙ";
inline constexpr const char* kMenuToolBar = "ﾂｰﾙ ﾊﾞｰ(&T)";
inline constexpr const char* kMenuStatusBar = "ｽﾃｰﾀｽ ﾊﾞｰ(&S)";
inline constexpr const char* kMenuAbout = "ﾊﾞｰｼﾞｮﾝ情報(&A)...";

// Environment dialog.
inline constexpr const char* kEnvTitle = "環境設定";
inline constexpr const char* kEnvAllOn = "全てON";
inline constexpr const char* kEnvAllOff = "全てOFF";
inline constexpr const char* kEnvMaximized = "Vantorel及び画像を自動的に最大化する";
inline constexpr const char* kEnvDlgBkGnd =
    "ｸﾞﾗﾌ、開口測光、矩形測光、位置測定のﾀﾞｲｱﾛｸﾞを画像ｳｨﾝﾄﾞｳの背面へ移動できるようにする";
inline constexpr const char* kEnvBottomUp = "FITS形式ﾌｧｲﾙのﾃﾞｰﾀ並びをﾎﾞﾄﾑｱｯﾌﾟで扱う";
inline constexpr const char* kEnvKeepCards =
    "FITS保存時、Vantorelが配置しないｷｰﾜｰﾄﾞ(FILTER、GAIN等)をｺﾒﾝﾄにせずそのまま残す";

}  // namespace app_text
