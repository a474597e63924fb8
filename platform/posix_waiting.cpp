// The waiting side's calls on a POSIX host: waiting for events and starting and waiting for a
// child process. The updater itself never waits, so it does not take these in.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "platform.h"
#include "posix_internal.h"

extern char** environ;

enum { kPollMs = 2 };

static void SleepMs(long ms) {
  timespec pause{0, ms * 1000000L};
  nanosleep(&pause, nullptr);
}

int PlatEventWaitAny(PlatEvent* const* events, int count, uint32_t timeoutMs, int* signalled) {
  uint32_t start = PlatTickCount();
  for (;;) {
    for (int i = 0; i < count; i++) {
      if (sem_trywait(events[i]->semaphore) == 0) {
        *signalled = i;
        return PLAT_OK;
      }
    }
    if (PlatTickCount() - start >= timeoutMs) return PLAT_ERR_TIMEOUT;
    SleepMs(kPollMs);
  }
}

// ---- Child processes -----------------------------------------------------------------------------

struct PlatProcess {
  pid_t pid;
};

// The ELF machine of a program file, or 0 for what is no ELF program (a script).
static int ElfMachine(const char* path) {
  unsigned char header[20];
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ssize_t got = read(fd, header, sizeof header);
  close(fd);
  if (got != static_cast<ssize_t>(sizeof header) || memcmp(header, "\x7f" "ELF", 4) != 0) return 0;
  return header[5] == 2 ? header[18] << 8 | header[19] : header[19] << 8 | header[18];
}

// On a host that runs this build's programs through an emulator that does not follow a child's
// exec (qemu-user without the kernel's binfmt hook), ZELT_CHILD_RUNNER names it: a program of
// this build's own CPU starts through it, any other (the host's own, a script) as it is.
static const char* ChildRunner(const char* program) {
  const char* runner = getenv("ZELT_CHILD_RUNNER");
  if (runner == nullptr || *runner == 0 || strchr(program, '/') == nullptr) return nullptr;
  int machine = ElfMachine(program);
  return machine != 0 && machine == ElfMachine("/proc/self/exe") ? runner : nullptr;
}

// The handle comes first: a started child must always have one to be waited for by.
static int Spawn(const char* const* argv, const posix_spawn_file_actions_t* actions,
                 PlatProcess** process) {
  std::vector<const char*> throughRunner;
  if (const char* runner = ChildRunner(argv[0])) {
    throughRunner.push_back(runner);
    for (const char* const* arg = argv; *arg != nullptr; arg++) throughRunner.push_back(*arg);
    throughRunner.push_back(nullptr);
    argv = throughRunner.data();
  }
  *process = static_cast<PlatProcess*>(malloc(sizeof(PlatProcess)));
  if (*process == nullptr) return PLAT_ERR_NO_MEMORY;
  int error = posix_spawnp(&(*process)->pid, argv[0], actions, nullptr,
                           const_cast<char* const*>(argv), environ);
  if (error != 0) {
    free(*process);
    return TranslateErrno(error);
  }
  return PLAT_OK;
}

int PlatProcessStart(const char* const* argv, PlatProcess** process) {
  return Spawn(argv, nullptr, process);
}

// The child opens the files itself; a file it cannot open fails the spawn.
int PlatProcessStartRedirected(const char* const* argv, const char* outputFile,
                               const char* errorFile, PlatProcess** process) {
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return PLAT_ERR_NO_MEMORY;
  const int flags = O_WRONLY | O_CREAT | O_TRUNC;
  int error = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile, flags, 0666);
  if (error == 0)
    error = posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile, flags, 0666);
  int result = error == 0 ? Spawn(argv, &actions, process) : TranslateErrno(error);
  posix_spawn_file_actions_destroy(&actions);
  return result;
}

uint32_t PlatProcessId(const PlatProcess* process) { return static_cast<uint32_t>(process->pid); }

int PlatProcessWait(PlatProcess* process, uint32_t timeoutMs, int* exitCode) {
  uint32_t start = PlatTickCount();
  for (;;) {
    int status = 0;
    pid_t done = waitpid(process->pid, &status, WNOHANG);
    if (done == process->pid) {
      *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      free(process);
      return PLAT_OK;
    }
    if (done < 0 && errno != EINTR) return TranslateErrno(errno);
    if (PlatTickCount() - start >= timeoutMs) return PLAT_ERR_TIMEOUT;
    SleepMs(kPollMs);
  }
}

int PlatProcessKill(PlatProcess* process) {
  return kill(process->pid, SIGKILL) == 0 ? PLAT_OK : TranslateErrno(errno);
}
