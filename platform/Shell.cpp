#include "platform/Shell.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <sstream>
#include <vector>

namespace tunevert {

namespace {

constexpr int kStarted = 42;
constexpr int kFileNotFound = 2;
constexpr int kCannotStart = 31;

bool LooksExecutable(const std::string& FileName) {
  std::FILE* file = std::fopen(FileName.c_str(), "rb");
  if (file == nullptr) return false;
  char head[4] = {};
  const std::size_t got = std::fread(head, 1, sizeof head, file);
  std::fclose(file);
  return (got >= 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F') ||
         (got >= 2 && head[0] == '#' && head[1] == '!');
}

// Runs Args detached from this process (its own session, not our child once started).
// True when exec succeeded.
bool SpawnDetached(const std::vector<std::string>& Args) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  std::vector<char*> argv;
  for (const std::string& arg : Args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  const pid_t middle = fork();
  if (middle < 0) {
    close(report[0]);
    close(report[1]);
    return false;
  }
  if (middle == 0) {
    setsid();
    if (fork() == 0) {
      execvp(argv[0], argv.data());
      const int error = errno;
      (void)!write(report[1], &error, sizeof error);
      _exit(127);
    }
    _exit(0);
  }
  close(report[1]);
  int status = 0;
  waitpid(middle, &status, 0);
  int error = 0;
  // The pipe closes on a successful exec: nothing to read means started.
  ssize_t got;
  do {
    got = read(report[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  return got == 0;
}

}  // namespace

int ShellExecute(const std::string& FileName, const std::string& Parameters) {
  struct stat info {};
  if (FileName.empty() || stat(FileName.c_str(), &info) != 0) return kFileNotFound;
  if (!S_ISREG(info.st_mode)) return kCannotStart;
  if (LooksExecutable(FileName)) {
    const mode_t execBits = (info.st_mode & (S_IRUSR | S_IRGRP | S_IROTH)) >> 2;
    if ((info.st_mode & execBits) != execBits &&
        chmod(FileName.c_str(), info.st_mode | execBits) != 0)
      return kCannotStart;
    std::vector<std::string> args{FileName};
    std::istringstream words(Parameters);
    for (std::string word; words >> word;) args.push_back(word);
    return SpawnDetached(args) ? kStarted : kCannotStart;
  }
  return SpawnDetached({"xdg-open", FileName}) ? kStarted : kCannotStart;
}

}  // namespace tunevert
