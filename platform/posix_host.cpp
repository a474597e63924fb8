// Host paths of a POSIX host for the host tools, the tests and the updater's own path.
#include <cerrno>
#include <climits>
#include <string>
#include <unistd.h>

#include "platform.h"
#include "posix_internal.h"

int PlatSetDeviceRoot(const char* hostDirectory) { return SetDeviceRootFolder(hostDirectory); }

// Removes "." and ".." from an absolute host path without touching the file system.
static std::string Normalize(const std::string& absolute) {
  std::string out;
  size_t i = 0;
  while (i < absolute.size()) {
    size_t end = absolute.find('/', i);
    if (end == std::string::npos) end = absolute.size();
    std::string part = absolute.substr(i, end - i);
    i = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      size_t slash = out.rfind('/');
      out.erase(slash == std::string::npos ? 0 : slash);
      continue;
    }
    out += "/" + part;
  }
  return out;
}

int PlatHostPathToDevicePath(const char* hostPath, char16_t* devicePath, size_t size) {
  if (size > 0) devicePath[0] = 0;
  std::string absolute = hostPath;
  if (absolute.empty()) return PLAT_ERR_INVALID;
  if (absolute[0] != '/') {
    char cwd[PATH_MAX];
    if (osCwd(cwd, sizeof cwd) == nullptr) return TranslateErrno(errno);
    absolute = std::string(cwd) + "/" + absolute;
  }
  return ToDevicePath(Normalize(absolute), devicePath, size);
}
