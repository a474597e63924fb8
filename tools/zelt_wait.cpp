// The waiting side of an update: zelt-wait [--timeout SECONDS] [UPDATER [ARGS...]]
// Attaches to (or creates) both outcome events, clears a signal an earlier run left pending,
// starts the updater when one is given, and prints "success" or "failure" once an event is set.
// Exits 0 for success, 1 for failure, 2 on a timeout or an error. The updater's own exit code,
// which the events do not tell, goes to standard error once it has ended. On a timeout the events
// stay, so that the outcome of an updater still running is not lost.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "outcome_events.h"
#include "platform.h"

static const ZChar* const kEventNames[2] = {kSuccessEventName, kFailEventName};
enum { kSuccess = 0, kFailure = 1, kError = 2 };
enum { kNoEvent = -1, kTimedOut = -2 };
enum { kSliceMs = 50, kDefaultTimeoutSeconds = 600 };

static int Usage() {
  fprintf(stderr, "usage: zelt-wait [--timeout SECONDS] [UPDATER [ARGS...]]\n");
  return kError;
}

// Waits for an event, watching the updater (when there is one) so that an updater that ends
// without setting either event is noticed at once rather than at the timeout.
static int WaitForOutcome(PlatEvent* const* events, PlatProcess** updater, ZUInt32 timeoutMs) {
  ZUInt32 start = PlatTickCount();
  for (;;) {
    int signalled = -1;
    if (PlatEventWaitAny(events, 2, kSliceMs, &signalled) == PLAT_OK) return signalled;
    int exitCode = 0;
    if (*updater != nullptr && PlatProcessWait(*updater, 0, &exitCode) == PLAT_OK) {
      *updater = nullptr;
      // The event may have been set just before the end that was noticed first.
      bool set = PlatEventWaitAny(events, 2, 0, &signalled) == PLAT_OK;
      fprintf(stderr, "zelt-wait: the updater exited with code %d%s\n", exitCode,
              set ? "" : " without setting an event");
      return set ? signalled : kNoEvent;
    }
    if (PlatTickCount() - start >= timeoutMs) return kTimedOut;
  }
}

int main(int argc, char** argv) {
  int next = 1;
  unsigned long timeoutSeconds = kDefaultTimeoutSeconds;
  if (next < argc && strcmp(argv[next], "--timeout") == 0) {
    char* end = nullptr;
    if (next + 1 >= argc) return Usage();
    timeoutSeconds = strtoul(argv[next + 1], &end, 10);
    if (*argv[next + 1] == 0 || *end != 0 || timeoutSeconds > 4000000) return Usage();
    next += 2;
  }
  if (next < argc && argv[next][0] == '-') return Usage();

  PlatEvent* events[2] = {nullptr, nullptr};
  for (int i = 0; i < 2; i++) {
    if (PlatEventOpen(kEventNames[i], &events[i]) != PLAT_OK) {
      fprintf(stderr, "zelt-wait: cannot open the outcome events\n");
      return kError;
    }
  }
  int stale = 0;
  while (PlatEventWaitAny(events, 2, 0, &stale) == PLAT_OK) {
  }

  // Static: an updater left running at a timeout keeps its handle until this program ends.
  static PlatProcess* updater = nullptr;
  if (next < argc && PlatProcessStart(argv + next, &updater) != PLAT_OK) {
    fprintf(stderr, "zelt-wait: cannot start %s\n", argv[next]);
    return kError;
  }
  ZUInt32 timeoutMs = static_cast<ZUInt32>(timeoutSeconds * 1000);
  ZUInt32 start = PlatTickCount();
  int outcome = WaitForOutcome(events, &updater, timeoutMs);
  if (outcome == kTimedOut) {
    if (updater != nullptr) {
      fprintf(stderr, "zelt-wait: no outcome within the timeout; the updater is still running "
                      "(process id %u)\n", PlatProcessId(updater));
    } else {
      fprintf(stderr, "zelt-wait: no outcome within the timeout\n");
    }
    // The events stay: the updater may still set one, and whoever looks later finds its outcome
    // pending (a new wait clears it first, as it clears any earlier run's).
    for (int i = 0; i < 2; i++) PlatEventClose(events[i]);
    return kError;
  }
  // Let the updater finish its log before the verdict is printed.
  int exitCode = 0;
  ZUInt32 spent = PlatTickCount() - start;
  if (updater != nullptr &&
      PlatProcessWait(updater, timeoutMs > spent ? timeoutMs - spent : 0, &exitCode) == PLAT_OK) {
    fprintf(stderr, "zelt-wait: the updater exited with code %d\n", exitCode);
  }
  for (int i = 0; i < 2; i++) {
    PlatEventClose(events[i]);
    PlatEventDelete(kEventNames[i]);
  }
  if (outcome < 0) return kError;
  puts(outcome == 0 ? "success" : "failure");
  return outcome == 0 ? kSuccess : kFailure;
}
