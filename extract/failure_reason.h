// Why a package could not be tested or unpacked, or an update could not finish: one line on
// standard error for each failure, "zelt: <item>: <cause>\n", or "zelt: <cause>\n" where no item
// is concerned, and in the updater's log file while it has one. Standard output, which stored
// logs and scripts read, never carries it.
#pragma once

#include "7z.h"
#include "platform.h"

// Where a package's reasons go instead of standard error and the log, for a tool that reports
// them itself: each reason once it is complete, with the code it is known by (a short name that
// keeps its meaning across versions, "checksum-mismatch"), the item it concerns (NULL for the
// package as a whole) and its cause without the "zelt: <item>: " head.
typedef void (*ReasonSink)(void* context, const char* code, const ZChar* item, const char* cause);
// Sends every reason to sink from now on; NULL sends them to standard error again.
void SetReasonSink(ReasonSink sink, void* context);

// The code a cause reported by its text (ReportFailure, ReportItemFailure, ItemPathProblem) is
// known by.
const char* ReasonCode(const char* cause);

// "zelt: <cause>\n".
void ReportFailure(const char* cause);
// A cause with figures in it, in pieces: ReasonBegin writes "zelt: ", ReasonText and
// ReasonNumber what follows, ReasonEnd the newline.
void ReasonBegin();
void ReasonText(const char* text);
void ReasonNumber(ZUInt64 value);
void ReasonEnd();
// "zelt: <item>: <cause>\n", the item's UTF-16 name in the console's code page.
void ReportItemFailure(const ZChar* item, const char* cause);
// "zelt: (an item with no name): the name is empty (item <index + 1> of the package's list)\n".
void ReportEmptyName(UInt32 index);
// No item: for ReportItemConflict's other.
enum { kNoItem = 0xFFFFFFFF };
// "zelt: <item>: <cause>: <other>\n", other being the item of db that stands in item's way, or
// "zelt: <item>: <cause>\n" when other is kNoItem.
void ReportItemConflict(const CSzArEx* db, const ZChar* item, const char* cause, UInt32 other);
// Why a file item of 4 GiB or more is refused, and a package file of that size.
extern const char kFileTooLargeCause[];
extern const char kPackageTooLargeCause[];
// Why an item cannot be unpacked around a file that the device keeps through the update (a
// marker, a driver in use), for ReportItemAgainstEntry: its path needs a folder where the file
// is, it is a folder where the file is, or it is a file where a folder that holds the file is.
extern const char kKeptFileOnTheWayCause[];
extern const char kFolderOverKeptFileCause[];
extern const char kFileOverKeptFolderCause[];
// "zelt: <item>: <cause>: <entry>; <remedy>\n", entry being the path on the device of what
// stands in item's way.
void ReportItemAgainstEntry(const ZChar* item, const char* cause, const ZChar* entry, const char* remedy);
// Why the package's tree has no place for an item, a TreeResult (package_space.h) in words.
const char* TreeCause(int result);
// A library or decoder result res (not SZ_OK) in words, for item index of db, or for the
// package as a whole when item is NULL: names the coder the decoder lacks for
// SZ_ERROR_UNSUPPORTED, and the size asked for SZ_ERROR_MEM when an allocation was refused.
void ReportResult(const CSzArEx* db, const ZChar* item, UInt32 index, SRes res);
// Why the package could not be opened with res: for SZ_ERROR_UNSUPPORTED, headerCoder is the coder
// of its packed header that the device lacks (the password's cipher, most often), or kNoCoder.
void ReportOpenResult(SRes res, UInt32 headerCoder);
// A platform failure (PLAT_ERR_...) of what ("cannot create the file") for item.
void ReportPlatformFailure(const ZChar* item, const char* what, int error);
// Remembers the size of a refused allocation, so that the memory failure it leads to can say
// how much was asked.
void NoteRefusedAllocation(size_t size);
