// The result codes of the file readers and writers and of the save path, one value each
// across every format, so that one message table (formats/fio/fileiomsg.h) can explain
// any of them. They live with the FITS reader and writer, the lowest layer that returns
// them; the other formats' readers, above it, share them. Header only: readers use the
// constants without linking the message library.
#pragma once

#include <cerrno>

#include "platform/files.h"

inline constexpr int FIO_OK = 0;
inline constexpr int FIO_ERR_CREATE = 2;         // the file cannot be created
inline constexpr int FIO_ERR_OPEN = 3;           // the file cannot be opened
inline constexpr int FIO_ERR_SHORT = 4;          // the file ends inside its header or data
inline constexpr int FIO_ERR_WRITE = 5;          // writing or closing the file failed
inline constexpr int FIO_ERR_MEMORY = 6;         // memory exhausted
inline constexpr int FIO_ERR_FORMAT = 7;         // not the expected format, or a variant not read
inline constexpr int FIO_ERR_UNKNOWN_TYPE = 12;  // no reader or writer for the file type
inline constexpr int FIO_ERR_HEADER = 17;        // an invalid header value or unsupported version
inline constexpr int FIO_ERR_BUILD_HEADER = 18;  // the header cannot be rebuilt from the image
inline constexpr int FIO_ERR_CLIPBOARD_EMPTY = 19;  // the clipboard holds no image
inline constexpr int FIO_ERR_CLIPBOARD_OPEN = 20;   // the clipboard cannot be opened
inline constexpr int FIO_ERR_CLIPBOARD_WRITE = 21;  // the image cannot be placed on the clipboard
inline constexpr int FIO_ERR_BITRAN_SAVE = 24;      // Bitran files are read only
inline constexpr int FIO_ERR_OVERWRITE = 25;        // the original file may not be overwritten
inline constexpr int FIO_ERR_FITS_SAVE = 26;        // the image cannot be saved as FITS
inline constexpr int FIO_ERR_CANCELLED = 27;        // the user cancelled; nothing is shown
inline constexpr int FIO_ERR_FRAME_SMALL = 30;      // a colour mosaic frame too small for one cell
inline constexpr int FIO_ERR_USF_NOT_FITS = 31;     // "<USF>" given with a file of another format
inline constexpr int FIO_ERR_TOO_LARGE = 32;        // writing stopped at the file-size limit
inline constexpr int FIO_ERR_FOLDER = 33;           // the name is a folder, not a file
inline constexpr int FIO_ERR_NOT_REGULAR = 34;      // a device, a FIFO or a socket, not a file
inline constexpr int FIO_ERR_LINK_LOOP = 35;      // the name's symbolic links lead round in a loop
inline constexpr int FIO_ERR_NO_IMAGE = 44;       // a FITS file whose units hold tables only
inline constexpr int FIO_ERR_NO_UNIT = 45;        // "file[spec]" names no unit of the file
inline constexpr int FIO_ERR_COMPRESSED = 46;     // compressed data that cannot be unpacked
inline constexpr int FIO_ERR_EXTRA_AXIS = 47;     // a FITS axis beyond the third longer than 1
inline constexpr int FIO_ERR_FOREIGN_LINK = 48;   // another user's link in a shared folder
inline constexpr int FIO_ERR_NAME_TOO_LONG = 49;  // a file name or path too long for the system
inline constexpr int FIO_ERR_BAD_UNIT = 50;       // "file[spec]" whose number is no int from 0 up

// The code for a file that could not be opened by name for reading (the errno value of
// OpenRegularFile) or for saving (the errno value of AtomicFile::Open): names that are no
// regular file, a link a save may not follow and a name too long have codes of their
// own, anything else is FIO_ERR_OPEN or FIO_ERR_CREATE.
inline int FioCodeOfNameError(int error, int otherwise) {
  switch (error) {
    case EISDIR:
      return FIO_ERR_FOLDER;
    case EINVAL:
      return FIO_ERR_NOT_REGULAR;
    case ELOOP:
      return FIO_ERR_LINK_LOOP;
    case kSaveErrForeignLink:
      return FIO_ERR_FOREIGN_LINK;
    case ENAMETOOLONG:
      return FIO_ERR_NAME_TOO_LONG;
    default:
      return otherwise;
  }
}
inline int FioOpenCode(int error) {
  return FioCodeOfNameError(error, FIO_ERR_OPEN);
}
inline int FioCreateCode(int error) {
  return FioCodeOfNameError(error, FIO_ERR_CREATE);
}
