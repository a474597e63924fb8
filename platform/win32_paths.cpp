// What a PC build has and the device build leaves out: the device's "\" is a folder of the PC
// (ZELT_DEVICE_ROOT), named events are the device's own, and the standard streams are binary.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "device_rules.h"
#include "win32_internal.h"

// Log and message bytes are the same as on the device and the host: "\n", never "\r\n".
static struct BinaryStandardStreams {
  BinaryStandardStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
  }
} binaryStandardStreams;

// The root as the OS calls take it: "\\?\" and the folder's full path, ending in "\", so that
// the OS reads the device path's names as they are ("..", "CON", trailing dots) and takes long
// paths. Only "\\?\" for the whole machine, whose top-level folders are the drives.
enum { kPrefixMax = PLAT_MAX_PATH + 8 };  // a full path of the PC and "\\?\UNC"
struct DeviceRoot {
  bool chosen;                   // by SetDeviceRootFolder, over the environment
  ZChar setting[PLAT_MAX_PATH];  // as given
  ZChar prefix[kPrefixMax];
  size_t prefixLength;
  bool machine;
};
static DeviceRoot root;

static const ZChar kLongPrefix[] = ZT("\\\\?\\");

static bool Append(ZChar* buffer, size_t size, size_t* length, const ZChar* text, size_t count) {
  if (*length + count >= size) return false;
  for (size_t i = 0; i < count; i++) buffer[(*length)++] = text[i];
  buffer[*length] = 0;
  return true;
}

static bool IsName(const ZChar* name, size_t length, const ZChar* wanted) {
  return length == TextLength(wanted) && NamesEqualIgnoringCase(name, length, wanted, length);
}

static bool IsDrive(const ZChar* name, size_t length) {
  ZChar letter = FoldCase(name[0]);
  return length == 2 && name[1] == ZT(':') && letter >= ZT('A') && letter <= ZT('Z');
}

// The "\\?\" form of a full path: "C:\x" becomes "\\?\C:\x" and "\\server\share" becomes
// "\\?\UNC\server\share"; a path in that form already stays as it is.
static bool LongForm(const ZChar* full, ZChar* out, size_t size, size_t* length) {
  *length = 0;
  if (full[0] == ZT('\\') && full[1] == ZT('\\') && full[2] == ZT('?') && full[3] == ZT('\\')) {
    return Append(out, size, length, full, TextLength(full));
  }
  if (full[0] == ZT('\\') && full[1] == ZT('\\')) {
    return Append(out, size, length, kLongPrefix, 4) && Append(out, size, length, ZT("UNC"), 3) &&
           Append(out, size, length, full + 1, TextLength(full + 1));
  }
  return Append(out, size, length, kLongPrefix, 4) &&
         Append(out, size, length, full, TextLength(full));
}

static int Resolve(DeviceRoot* current) {
  if (current->setting[0] == 0) return PLAT_ERR_INVALID;
  current->machine = true;
  for (const ZChar* p = current->setting; *p != 0; p++) {
    current->machine = current->machine && IsPathSeparator(*p);
  }
  current->prefixLength = 0;
  if (current->machine) {
    Append(current->prefix, kPrefixMax, &current->prefixLength, kLongPrefix, 4);
    return PLAT_OK;
  }
  ZChar full[PLAT_MAX_PATH];
  DWORD length = GetFullPathNameW(current->setting, PLAT_MAX_PATH, full, NULL);
  if (length == 0) return LastError();
  if (length >= PLAT_MAX_PATH) return PLAT_ERR_INVALID;
  if (!LongForm(full, current->prefix, kPrefixMax, &current->prefixLength)) return PLAT_ERR_INVALID;
  if (!IsPathSeparator(current->prefix[current->prefixLength - 1]) &&
      !Append(current->prefix, kPrefixMax, &current->prefixLength, ZT("\\"), 1)) {
    return PLAT_ERR_INVALID;
  }
  return PLAT_OK;
}

// The root named by SetDeviceRootFolder, else by ZELT_DEVICE_ROOT, else the whole machine;
// resolved again whenever the setting changes.
static int CurrentRoot(const DeviceRoot** current) {
  static DeviceRoot fromEnvironment;
  if (root.chosen) {
    *current = &root;
    return root.prefixLength != 0 ? PLAT_OK : PLAT_ERR_INVALID;
  }
  ZChar setting[PLAT_MAX_PATH];
  DWORD length = GetEnvironmentVariableW(ZT("ZELT_DEVICE_ROOT"), setting, PLAT_MAX_PATH);
  if (length >= PLAT_MAX_PATH) return PLAT_ERR_INVALID;
  if (length == 0) CopyText(ZT("\\"), setting, PLAT_MAX_PATH);
  size_t settingLength = TextLength(setting);
  if (fromEnvironment.prefixLength == 0 ||
      !NamesEqualIgnoringCase(setting, settingLength, fromEnvironment.setting,
                              TextLength(fromEnvironment.setting))) {
    CopyText(setting, fromEnvironment.setting, PLAT_MAX_PATH);
    int result = Resolve(&fromEnvironment);
    if (result != PLAT_OK) {
      fromEnvironment.prefixLength = 0;
      return result;
    }
  }
  *current = &fromEnvironment;
  return PLAT_OK;
}

// A root that cannot be resolved leaves every path unusable rather than another root in use.
int SetDeviceRootFolder(const ZChar* folder) {
  root.chosen = true;
  int result = CopyText(folder, root.setting, PLAT_MAX_PATH) ? Resolve(&root) : PLAT_ERR_INVALID;
  if (result != PLAT_OK) root.prefixLength = 0;
  return result;
}

int ToHostPath(const ZChar* devicePath, ZChar* hostPath) {
  // The device's limit, on the device path: the root folder put in front is the PC's own.
  if (!DevicePathFits(devicePath, 0)) return PLAT_ERR_INVALID;
  const DeviceRoot* current = NULL;
  int result = CurrentRoot(&current);
  if (result != PLAT_OK) return result;
  size_t length = 0;
  Append(hostPath, HOST_PATH_MAX, &length, current->prefix, current->prefixLength);
  bool separate = false;  // a separator goes before the next name
  const ZChar* cursor = devicePath;
  size_t count = 0;
  while (const ZChar* name = NextPathComponent(&cursor, &count)) {
    if (IsName(name, count, ZT(".."))) return PLAT_ERR_INVALID;
    if (IsName(name, count, ZT("."))) continue;
    bool drive = current->machine && length == current->prefixLength;
    if (drive && !IsDrive(name, count)) return PLAT_ERR_INVALID;
    if ((separate && !Append(hostPath, HOST_PATH_MAX, &length, ZT("\\"), 1)) ||
        !Append(hostPath, HOST_PATH_MAX, &length, name, count)) {
      return PLAT_ERR_INVALID;
    }
    // A drive is its root folder, "C:\"; "\\?\C:" alone would be the volume itself.
    separate = !drive;
    if (drive && !Append(hostPath, HOST_PATH_MAX, &length, ZT("\\"), 1)) return PLAT_ERR_INVALID;
  }
  // The machine itself is no folder.
  if (current->machine && length == current->prefixLength) return PLAT_ERR_INVALID;
  return PLAT_OK;
}

int ToDevicePath(const ZChar* hostPath, ZChar* devicePath, size_t size) {
  if (size > 0) devicePath[0] = 0;
  const DeviceRoot* current = NULL;
  int result = CurrentRoot(&current);
  if (result != PLAT_OK) return result;
  ZChar host[HOST_PATH_MAX];
  size_t length = 0;
  if (!LongForm(hostPath, host, HOST_PATH_MAX, &length)) return PLAT_ERR_INVALID;
  // The root folder itself comes without the separator that ends the prefix.
  size_t compared = length + 1 == current->prefixLength ? length : current->prefixLength;
  if (length < compared || !NamesEqualIgnoringCase(host, compared, current->prefix, compared)) {
    return PLAT_ERR_INVALID;
  }
  const ZChar* rest = host + (compared < length ? compared : length);
  bool drive = rest[0] != 0 && IsDrive(rest, 2) && (rest[2] == 0 || rest[2] == ZT('\\'));
  if (current->machine && !drive) return PLAT_ERR_INVALID;
  size_t deviceLength = 0;
  if (!Append(devicePath, size, &deviceLength, ZT("\\"), 1) ||
      !Append(devicePath, size, &deviceLength, rest, TextLength(rest))) {
    if (size > 0) devicePath[0] = 0;
    return PLAT_ERR_INVALID;
  }
  return PLAT_OK;
}

int HostObjectName(const ZChar* name, ZChar* hostName) {
  const DeviceRoot* current = NULL;
  int result = CurrentRoot(&current);
  if (result != PLAT_OK) return result;
  ZUInt64 hash = 14695981039346656037ULL;  // FNV-1a over the root's folded units
  for (size_t i = 0; i < current->prefixLength; i++) {
    hash = (hash ^ FoldCase(current->prefix[i])) * 1099511628211ULL;
  }
  ZChar suffix[18];
  suffix[0] = ZT('-');
  for (int i = 0; i < 16; i++) {
    suffix[1 + i] = ZT("0123456789abcdef")[(hash >> (60 - 4 * i)) & 0xF];
  }
  suffix[17] = 0;
  size_t length = 0;
  if (!Append(hostName, PLAT_MAX_PATH, &length, name, TextLength(name)) ||
      !Append(hostName, PLAT_MAX_PATH, &length, suffix, 17)) {
    return PLAT_ERR_INVALID;
  }
  return PLAT_OK;
}
