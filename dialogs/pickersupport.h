// What the image and folder pickers share: the open windows as the dialogs see them, the
// image of an open window (asked from its view), reading a file for processing, the open
// dialog, and the "%s%d" history lists of the settings store.
#pragma once

#include <string>
#include <vector>

class CRalImage;
class CVumDocument;
class QObject;

namespace picker {

// The open documents of the installed template, in window order; empty without one.
std::vector<CVumDocument*> OpenDocuments();
// Whether doc is still one of them.
bool IsOpenDocument(const CVumDocument* doc);
// The image of an open window, asked from its first view; null without one.
CRalImage* ImageOfDocument(CVumDocument* doc);
// The path a document was read from, else its title: what sorting "by file" compares.
std::string FileKeyOfDocument(const CVumDocument* doc);
// The QObject a document is, whose destroyed() tells the lists that hold the document
// that its window has closed (the program's documents are QObjects); null for any other.
// Ask it while the document lives: a document being destroyed is a QObject no more.
QObject* ObjectOfDocument(CVumDocument* doc);

// Reads a file for processing into image: at -32 bits through the dispatcher, the
// automatic levels when the file carries none. A name ending in "<USF>" is read as FITS
// with unsigned integers. 1 on success (the failure has been shown).
int ReadImageForProcessing(CRalImage& image, const std::string& name);
// Opens the file in a window; the window's image is given back (null on failure).
CRalImage* OpenImageInWindow(const std::string& name, CVumDocument** doc);

// The image open dialog (remembered folder and type of the file type's dialog). Full
// paths; "<USF>" added when the dialog is the unsigned FITS one. Empty when cancelled.
std::vector<std::string> AskOpenFiles(int fileType, bool multiSelect);

// Whether the file of a name (without its "<USF>") exists as a regular file.
bool FileExists(const std::string& name);

// A history of up to `limit` values stored as key0, key1, ...: reading stops at the
// first empty or missing value.
std::vector<std::string> ReadHistory(const std::string& section, const std::string& key, int limit);
// Writes the list as key0... (at most `limit`), emptying the slots it does not fill.
void WriteHistory(const std::string& section, const std::string& key,
                  const std::vector<std::string>& values, int limit);
// Moves value to the front (removing the same value further down) and cuts to limit.
void MoveToFront(std::vector<std::string>& values, const std::string& value, int limit);

}  // namespace picker
