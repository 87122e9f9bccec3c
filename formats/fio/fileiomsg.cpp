// One switch gives each result code its text; the box goes through the MessageBox service.
#include "formats/fio/fileiomsg.h"

#include <string>

#include "platform/messagebox.h"

namespace {

struct Message {
  std::string_view text;
  bool showPath;
};

Message Lookup(int code) {
  switch (code) {
    case FIO_ERR_CREATE:
      return {kFioMsgCreate, true};
    case FIO_ERR_OPEN:
      return {kFioMsgOpen, true};
    case FIO_ERR_SHORT:
      return {kFioMsgShort, true};
    case FIO_ERR_WRITE:
      return {kFioMsgWrite, true};
    case FIO_ERR_TOO_LARGE:
      return {kFioMsgTooLarge, true};
    case FIO_ERR_MEMORY:
      return {kFioMsgMemory, true};
    case FIO_ERR_FORMAT:
      return {kFioMsgFormat, true};
    case FIO_ERR_UNKNOWN_TYPE:
      return {kFioMsgUnknownType, true};
    case FIO_ERR_HEADER:
      return {kFioMsgHeader, true};
    case FIO_ERR_BUILD_HEADER:
      return {kFioMsgBuildHeader, true};
    case FIO_ERR_CLIPBOARD_EMPTY:
      return {kFioMsgClipboardEmpty, false};
    case FIO_ERR_CLIPBOARD_OPEN:
      return {kFioMsgClipboardOpen, false};
    case FIO_ERR_CLIPBOARD_WRITE:
      return {kFioMsgClipboardWrite, false};
    case FIO_ERR_BITRAN_SAVE:
      return {kFioMsgBitranSave, true};
    case FIO_ERR_OVERWRITE:
      return {kFioMsgOverwrite, false};
    case FIO_ERR_FITS_SAVE:
      return {kFioMsgFitsSave, false};
    case FIO_ERR_FRAME_SMALL:
      return {kFioMsgFrameSmall, true};
    case FIO_ERR_USF_NOT_FITS:
      return {kFioMsgUsfNotFits, true};
    case FIO_ERR_FOLDER:
      return {kFioMsgFolder, true};
    case FIO_ERR_NOT_REGULAR:
      return {kFioMsgNotRegular, true};
    case FIO_ERR_LINK_LOOP:
      return {kFioMsgLinkLoop, true};
    case FIO_ERR_NO_IMAGE:
      return {kFioMsgNoImage, true};
    case FIO_ERR_NO_UNIT:
      return {kFioMsgNoUnit, true};
    case FIO_ERR_COMPRESSED:
      return {kFioMsgCompressed, true};
    case FIO_ERR_EXTRA_AXIS:
      return {kFioMsgExtraAxis, true};
    case FIO_ERR_FOREIGN_LINK:
      return {kFioMsgForeignLink, true};
    case FIO_ERR_NAME_TOO_LONG:
      return {kFioMsgNameTooLong, true};
    case FIO_ERR_BAD_UNIT:
      return {kFioMsgBadUnit, true};
    default:
      return {{}, true};
  }
}

}  // namespace

std::string FileioMessageText(int code, const std::string& path) {
  if (code == FIO_OK || code == FIO_ERR_CANCELLED) return {};
  Message m = Lookup(code);
  std::string text;
  if (m.text.empty()) {
    std::string_view other = kFioMsgOther;
    std::size_t at = other.find("%d");
    text =
        std::string(other.substr(0, at)) + std::to_string(code) + std::string(other.substr(at + 2));
  } else {
    text = std::string(m.text);
  }
  if (m.showPath && !path.empty()) text = path + "\n" + text;
  return text;
}

namespace {

std::string ExtensionText(std::string_view message, const std::string& path, int number,
                          const std::string& name) {
  std::string text(message);
  const std::size_t d = text.find("%d");
  text.replace(d, 2, std::to_string(number));
  const std::size_t s = text.find("%s");
  text.replace(s, 2, name.empty() ? std::string() : " (" + name + ")");
  return path.empty() ? text : path + "\n" + text;
}

}  // namespace

std::string FileioCutExtensionText(const std::string& path, int number, const std::string& name) {
  return ExtensionText(kFioMsgExtensionCut, path, number, name);
}

std::string FileioDamagedExtensionText(const std::string& path, int number,
                                       const std::string& name) {
  return ExtensionText(kFioMsgExtensionDamaged, path, number, name);
}

int FileioMsgBox(void* /*owner*/, int code, const std::string& title, const std::string& path,
                 unsigned style) {
  std::string text = FileioMessageText(code, path);
  if (text.empty()) return 0;
  return GetMessageBox().Show(text, title.empty() ? ApplicationTitle() : title, style);
}
