#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tunevert::test {

using Bytes = std::vector<uint8_t>;

inline Bytes ReadWholeFile(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + Path);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline std::string FixturePath(const std::string& Name) {
  return std::string(TUNEVERT_TEST_DATA) + "/tags/" + Name;
}

// A scratch file opened read/write, removed on destruction.
class TTempFile {
 public:
  explicit TTempFile(const Bytes& Content = {}) {
    char name[] = "/tmp/tunevert-tags-XXXXXX";
    FFd = mkstemp(name);
    if (FFd < 0) throw std::runtime_error("mkstemp failed");
    FPath = name;
    if (!Content.empty() &&
        ::write(FFd, Content.data(), Content.size()) != static_cast<ssize_t>(Content.size()))
      throw std::runtime_error("write failed");
    lseek(FFd, 0, SEEK_SET);
  }
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;
  ~TTempFile() {
    close(FFd);
    unlink(FPath.c_str());
  }
  int Fd() const { return FFd; }
  const std::string& Path() const { return FPath; }
  Bytes Content() const { return ReadWholeFile(FPath); }
  int64_t Position() const { return lseek(FFd, 0, SEEK_CUR); }

 private:
  int FFd = -1;
  std::string FPath;
};

// Runs a shell command and returns its standard output.
inline std::string RunCommand(const std::string& Command) {
  std::string out;
  FILE* pipe = popen(Command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

// "key=value" lines into a map; a prefix such as "TAG:" is dropped from the keys.
inline std::map<std::string, std::string> ParseKeyValues(const std::string& Text,
                                                         const std::string& Prefix = "") {
  std::map<std::string, std::string> result;
  size_t start = 0;
  while (start < Text.size()) {
    size_t end = Text.find('\n', start);
    if (end == std::string::npos) end = Text.size();
    std::string line = Text.substr(start, end - start);
    start = end + 1;
    if (line.rfind(Prefix, 0) != 0) continue;
    line.erase(0, Prefix.size());
    const size_t eq = line.find('=');
    if (eq != std::string::npos) result[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return result;
}

}  // namespace tunevert::test
