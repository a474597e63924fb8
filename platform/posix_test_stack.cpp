// Stacks of the device's size on a POSIX host: a process limit for programs started, a thread.
#include <pthread.h>
#include <sys/resource.h>

#include "platform.h"
#include "platform_testing.h"

static rlim_t unlimitedStack = 0;  // the soft limit before the first call; 0 until then

int PlatTestLimitChildStack(size_t bytes) {
  rlimit limit;
  if (getrlimit(RLIMIT_STACK, &limit) != 0) return PLAT_ERR_IO;
  if (unlimitedStack == 0) unlimitedStack = limit.rlim_cur;
  limit.rlim_cur = bytes == 0 ? unlimitedStack : static_cast<rlim_t>(bytes);
  return setrlimit(RLIMIT_STACK, &limit) == 0 ? PLAT_OK : PLAT_ERR_IO;
}

struct Run {
  int (*body)();
  int result;
};

static void* RunBody(void* argument) {
  Run* run = static_cast<Run*>(argument);
  run->result = run->body();
  return nullptr;
}

int PlatTestRunOnStack(size_t bytes, int (*body)(), int* result) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return PLAT_ERR_NO_MEMORY;
  Run run = {body, -1};
  pthread_t thread;
  int error = pthread_attr_setstacksize(&attributes, bytes);
  if (error == 0) error = pthread_create(&thread, &attributes, RunBody, &run);
  pthread_attr_destroy(&attributes);
  if (error != 0 || pthread_join(thread, nullptr) != 0) return PLAT_ERR_NO_MEMORY;
  *result = run.result;
  return PLAT_OK;
}
