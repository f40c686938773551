#include "common/test_util.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/tempdir.h"

namespace lumbrella::test {

TempFolder::TempFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/lumbrella-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path_ = pattern + "/";
}

TempFolder::~TempFolder() {
  std::error_code ec;
  // Tests may leave read-only files or folders behind; make them removable first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

bool RuntimeFolderInMemory::Possible() {
  return std::filesystem::is_directory("/dev/shm");
}

RuntimeFolderInMemory::RuntimeFolderInMemory()
    : path_("/dev/shm/lumbrella-test-" + std::to_string(getpid())),
      runtime_("XDG_RUNTIME_DIR", path_.c_str()),
      tmp_("TMPDIR", nullptr) {
  MakeDirs(path_);
  if (chmod(path_.c_str(), 0700) != 0) ADD_FAILURE() << "cannot chmod " << path_;
}

RuntimeFolderInMemory::~RuntimeFolderInMemory() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::u16string Utf16Of(char32_t c) {
  if (c < 0x10000) return std::u16string(1, static_cast<char16_t>(c));
  return {static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)),
          static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF))};
}

std::string Encoded(const std::string& utf8, const char* encoding) {
  iconv_t cd = iconv_open(encoding, "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "iconv has no " << encoding;
    return {};
  }
  std::string out(utf8.size() * 2 + 16, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size();
  char* to = out.data();
  size_t outLeft = out.size();
  if (iconv(cd, &in, &inLeft, &to, &outLeft) == static_cast<size_t>(-1)) {
    ADD_FAILURE() << encoding << " cannot encode the text at byte " << utf8.size() - inLeft;
  }
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  return out;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void MakeDirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) ADD_FAILURE() << "cannot create " << path << ": " << ec.message();
}

CommandResult Run(const std::string& commandLine) {
  CommandResult result;
  std::string full = "(" + commandLine + ") 2>&1";
  FILE* pipe = popen(full.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
    result.output.append(buffer, got);
  int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string Quote(const std::string& word) {
  std::string q = "'";
  for (char c : word)
    q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::vector<std::string> SampleFiles() {
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(LUMBRELLA_SOURCE_DIR "/tests/data")) {
    if (e.path().extension() == ".txt") files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

namespace {

void SetEnv(const char* name, const char* value) {
  value ? setenv(name, value, 1) : unsetenv(name);
}

}  // namespace

EnvAt::EnvAt(const char* name, const char* value) : name_(name) {
  const char* old = std::getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  SetEnv(name, value);
}

EnvAt::~EnvAt() {
  SetEnv(name_, had_ ? old_.c_str() : nullptr);
}

std::string LeftBehindTempDir(const std::string& base) {
  int link[2];
  if (pipe(link) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  const pid_t child = fork();
  if (child == 0) {
    close(link[0]);
    setenv("TMPDIR", base.c_str(), 1);
    // Made and never destroyed, as by a process that is killed.
    const std::string path = (new TPrivateTempDir)->Path();
    _exit(write(link[1], path.data(), path.size()) == static_cast<ssize_t>(path.size()) ? 0 : 1);
  }
  close(link[1]);
  std::string path;
  char buffer[256];
  for (ssize_t got; (got = read(link[0], buffer, sizeof buffer)) > 0;)
    path.append(buffer, static_cast<size_t>(got));
  close(link[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (child < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || path.empty())
    ADD_FAILURE() << "no folder left behind";
  return path;
}

bool HaveProgram(const std::string& name) {
  return Run("command -v " + Quote(name) + " >/dev/null").exitCode == 0;
}

std::string EpubcheckProblems(const std::string& bookPath,
                              const std::vector<std::string>& allowedWarnings) {
  const std::string jar = "/usr/share/java/epubcheck.jar";
  if (!std::filesystem::exists(jar) || !HaveProgram("java")) {
    return "the EPUB validator is not installed (Debian package epubcheck)";
  }
  // C1 only: the validator runs for seconds, most of it spent compiling itself.
  CommandResult r = Run("java -XX:TieredStopAtLevel=1 -jar " + jar + " " + Quote(bookPath));
  size_t allowed = 0;
  std::istringstream lines(r.output);
  for (std::string line; std::getline(lines, line);) {
    for (const std::string& code : allowedWarnings)
      allowed += line.starts_with("WARNING(" + code + ")") ? 1 : 0;
  }
  const std::string counts =
      "Messages: 0 fatals / 0 errors / " + std::to_string(allowed) + " warnings";
  if (r.exitCode == 0 && r.output.find(counts) != std::string::npos) return {};
  return r.output;
}

std::string CheckArchivesWithOtherTools(const std::vector<std::string>& archivePaths) {
  std::string all;
  for (const std::string& path : archivePaths)
    all += " " + Quote(path);
  struct Check {
    const char* tool;
    std::string all;   // one command for every archive, or
    const char* each;  // one for each archive, the path appended
  };
  const Check checks[] = {
      {"python3",
       "python3 -c 'import sys,zipfile\n"
       "for p in sys.argv[1:]:\n"
       "  bad=zipfile.ZipFile(p).testzip()\n"
       "  if bad: sys.exit(p+\": \"+bad)'" +
           all,
       nullptr},
      {"unzip", {}, "unzip -tq "},
      {"7z", {}, "7z t "},
      {"bsdtar", {}, "bsdtar -tf "},
  };
  std::string failures;
  for (const Check& check : checks) {
    if (!HaveProgram(check.tool)) {
      failures += std::string(check.tool) + " is not installed\n";
      continue;
    }
    std::vector<std::string> commands;
    if (check.each == nullptr) commands.push_back(check.all);
    for (size_t i = 0; check.each != nullptr && i < archivePaths.size(); ++i)
      commands.push_back(check.each + Quote(archivePaths[i]) + " >/dev/null");
    for (const std::string& command : commands) {
      CommandResult r = Run(command);
      if (r.exitCode != 0) failures += command + "\nrefused:\n" + r.output + "\n";
    }
  }
  return failures;
}

uid_t UnprivilegedUser() {
  return geteuid() == 0 ? 65534 : geteuid();
}

bool AsUnprivilegedUser(const std::function<bool()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(UnprivilegedUser()) != 0)) {
      _exit(3);
    }
    bool ok = false;
    try {
      ok = body();
    } catch (...) {
    }
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace lumbrella::test
