#pragma once

// Runs of tunevert-cli as a child process, and what they leave in their output folders.
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "AppTestFiles.h"

namespace tunevert::testing {

// How a run is started, beyond its arguments.
struct CliSetup {
  std::string Program = TUNEVERT_CLI;
  std::string WorkingDir;   // the test's own when empty
  std::string AsanOptions;  // the inherited ones when empty
  // Root reads files whatever their permission bits; without these capabilities it does not.
  bool WithoutFileOverride = false;
  // Read end of a pipe: the child waits for a byte on it before the program starts, so that
  // its process id is known beforehand.
  int HoldUntilReadable = -1;
};

// Exit status of a child that could not give up the capabilities asked.
constexpr int kNoCapabilityDrop = 97;

// A run of the program with its standard output and error in files of `dir`.
class CliRun {
 public:
  CliRun(const TempDir& dir, std::vector<std::string> args, const CliSetup& setup = {})
      : FOut(dir / "stdout.txt"), FErr(dir / "stderr.txt") {
    args.insert(args.begin(), setup.Program);
    FPid = fork();
    if (FPid == 0) {
      if (!setup.AsanOptions.empty()) setenv("ASAN_OPTIONS", setup.AsanOptions.c_str(), 1);
      if (!setup.WorkingDir.empty() && chdir(setup.WorkingDir.c_str()) != 0) _exit(96);
      if (setup.WithoutFileOverride && geteuid() == 0 &&
          (prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
           prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0))
        _exit(kNoCapabilityDrop);
      if (!freopen(FOut.c_str(), "w", stdout) || !freopen(FErr.c_str(), "w", stderr)) _exit(99);
      char go = 0;
      if (setup.HoldUntilReadable >= 0 && read(setup.HoldUntilReadable, &go, 1) != 1) _exit(95);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(98);
    }
  }
  pid_t Pid() const { return FPid; }
  // The exit status, or 1000 + the signal that ended it.
  int Wait(long* peakKiB = nullptr) {
    int raw = 0;
    rusage usage{};
    wait4(FPid, &raw, 0, &usage);
    if (peakKiB != nullptr) *peakKiB = usage.ru_maxrss;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000 + WTERMSIG(raw);
  }
  std::string Out() const { return Text(FOut); }
  std::string Err() const { return Text(FErr); }

 private:
  static std::string Text(const std::string& path) {
    const auto bytes = ReadAll(path);
    return {bytes.begin(), bytes.end()};
  }
  std::string FOut, FErr;
  pid_t FPid = -1;
};

// The unfinished outputs process Pid holds open in Dir: files without a name yet, or under a
// temporary one.
inline std::set<std::string> PendingOutputsOf(pid_t Pid, const std::string& Dir) {
  std::set<std::string> files;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(Pid) + "/fd", ec), end;
       !ec && it != end; it.increment(ec)) {
    std::error_code gone;  // closed since the listing
    const std::string target = std::filesystem::read_symlink(it->path(), gone).string();
    if (gone || target.rfind(Dir + "/", 0) != 0) continue;
    const std::string name = target.substr(Dir.size() + 1);
    const bool anonymous = name[0] == '#' && name.ends_with(" (deleted)");
    if (anonymous || name.find(".tunevert-") != std::string::npos) files.insert(target);
  }
  return files;
}

}  // namespace tunevert::testing
