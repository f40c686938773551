// Helpers shared by the test programs.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace lumbrella::test {

// A fresh folder for one test, removed afterwards. Path() ends in "/" (UTF-8 and ANSI
// agree for the ASCII paths it makes).
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

// An environment variable set (or unset, for nullptr) while this lives.
class EnvAt {
 public:
  EnvAt(const char* name, const char* value);
  ~EnvAt();
  EnvAt(const EnvAt&) = delete;
  EnvAt& operator=(const EnvAt&) = delete;

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

// A runtime folder of this user's alone in memory, /dev/shm/lumbrella-test-<pid> (0700), that
// XDG_RUNTIME_DIR names, with TMPDIR unset, while this lives. Only where Possible().
class RuntimeFolderInMemory {
 public:
  static bool Possible();
  RuntimeFolderInMemory();
  ~RuntimeFolderInMemory();
  const std::string& Path() const { return path_; }  // no "/" at the end

 private:
  std::string path_;
  EnvAt runtime_;
  EnvAt tmp_;
};

// The UTF-16 units of one scalar value: itself, or its surrogate pair.
std::u16string Utf16Of(char32_t c);

// UTF-8 text in another encoding, by the C library's iconv (an encoder apart from the
// program's decoders): "GB18030", "CP950", "BIG5-HKSCS", "CP932", "UTF-16LE", ... Fails
// the test when a character has no code there.
std::string Encoded(const std::string& utf8, const char* encoding);

// Whole-file helpers on file-system (UTF-8) paths; they fail the test on error.
void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
void MakeDirs(const std::string& path);  // like mkdir -p

struct CommandResult {
  int exitCode = -1;
  std::string output;  // stdout and stderr together
};
// Runs a shell command line and collects what it prints.
CommandResult Run(const std::string& commandLine);
// Single-quotes a word for the shell.
std::string Quote(const std::string& word);

// The project's test chapters (tests/data: five encodings, a name with "&" and "<>"),
// sorted by name (UTF-8 paths).
std::vector<std::string> SampleFiles();
// The private temporary folder (lumbrella-XXXXXX) of a run that was killed: made under base
// by a child process that then ended without removing it. Returns its path, "/" at the end.
std::string LeftBehindTempDir(const std::string& base);
// True when a program is on PATH.
bool HaveProgram(const std::string& name);

// "" when the EPUB validator reports no fatal error, error or warning about the book but
// warnings of the codes allowed (such as "OPF-003", a file the package does not list); else
// its report.
std::string EpubcheckProblems(const std::string& bookPath,
                              const std::vector<std::string>& allowedWarnings = {});

// Checks archives with readers we did not write: Python's zipfile (testzip, one process for
// them all), unzip -t, 7z t and bsdtar -tf. Returns "" when all accept every archive, else
// what the failing ones said.
std::string CheckArchivesWithOtherTools(const std::vector<std::string>& archivePaths);
inline std::string CheckArchiveWithOtherTools(const std::string& archivePath) {
  return CheckArchivesWithOtherTools({archivePath});
}

// A user whom permissions bind: this one, or nobody (65534) when the tests run as root, who
// may read and write anything.
uid_t UnprivilegedUser();
// Runs body in a child process as UnprivilegedUser(); true when it returned true. What it
// must reach has to be open to that user.
bool AsUnprivilegedUser(const std::function<bool()>& body);

}  // namespace lumbrella::test
