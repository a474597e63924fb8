// The number each line of the run's log carries ("[ZELT_UPDATE] Line: 00121: ..."). A number
// belongs to one message for good: whoever reads a log from a pulled card, or a program that
// waits on the run, tells by it how far a run got.
#pragma once

enum StageLine {
  LINE_UNDELETED = 70,  // the clean left a file ("delete <path> FAIL")
  LINE_IN_USE = 72,     // a file the clean would delete is held ("in use <path>")
  LINE_BANNER_TOP = 112,
  LINE_BANNER_TITLE = 113,
  LINE_BANNER_BOTTOM = 114,
  LINE_RUN_LOCK_FAIL = 115,
  LINE_UPDATER_INSIDE = 116,
  LINE_FILE_IN_USE = 117,
  LINE_CHECK_PACKAGE_FAIL = 118,
  LINE_READ_INSTALL_FAIL = 119,
  LINE_FREE_SPACE_FAIL = 120,
  LINE_BEGIN_REMOVE = 121,
  LINE_REMOVE_FAIL = 127,
  LINE_REMOVE_OK = 131,
  LINE_OPEN_FROMFILE_FAIL = 142,
  LINE_OPEN_FROMFILE_OK = 146,
  LINE_OPEN_TOFILE_FAIL = 150,
  LINE_OPEN_TOFILE_OK = 154,
  LINE_BEGIN_COPY = 160,
  LINE_COPY_OK = 205,
  LINE_EXTRACT_OK = 211,
  LINE_EXTRACT_FAIL = 217,
  LINE_FLUSH_FAIL = 219,
  LINE_COPY_FAIL = 223,
  LINE_END = 226
};
