// The clipboard access on QClipboard: the private block under its own MIME type, the
// bitmap as a QImage (which Qt offers to other programs as image/png, image/bmp and the
// other image types it writes), and any image another program placed.
#pragma once

// Installs the Qt clipboard as the clipboard access; needs a QGuiApplication.
void InstallQtClipboard();
