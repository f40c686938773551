// Other programs the tests run: a shell command line, and the readers and the validator we
// did not write, which check what the program writes. Free of GoogleTest, so that the
// window's QtTest programs use them too.
#pragma once

#include <string>
#include <vector>

namespace lumbrella::test {

struct CommandResult {
  int exitCode = -1;
  std::string output;  // stdout and stderr together
};
// Runs a shell command line and collects what it prints.
CommandResult Run(const std::string& commandLine);
// Single-quotes a word for the shell.
std::string Quote(const std::string& word);
// True when a program is on PATH.
bool HaveProgram(const std::string& name);

// Checks archives with readers we did not write: Python's zipfile (testzip, one process for
// them all), unzip -t, 7z t and bsdtar -tf. Returns "" when all accept every archive, else
// what the failing ones said.
std::string CheckArchivesWithOtherTools(const std::vector<std::string>& archivePaths);
inline std::string CheckArchiveWithOtherTools(const std::string& archivePath) {
  return CheckArchivesWithOtherTools({archivePath});
}

// "" when the EPUB validator reports no fatal error, error or warning about the book
// (a UTF-8 path); else its report, or why it could not run.
std::string EpubcheckProblems(const std::string& bookPath);

}  // namespace lumbrella::test
