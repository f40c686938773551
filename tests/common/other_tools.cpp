#include "common/other_tools.h"

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

namespace lumbrella::test {

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
  for (char c : word) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

bool HaveProgram(const std::string& name) {
  return Run("command -v " + Quote(name) + " >/dev/null").exitCode == 0;
}

std::string CheckArchivesWithOtherTools(const std::vector<std::string>& archivePaths) {
  std::string failures;
  std::string all;
  for (const std::string& path : archivePaths)
    all += " " + Quote(path);
  struct Check {
    const char* tool;
    std::string command;  // for all the archives, or {} for each one (after "<tool> ")
    const char* each;
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
  for (const Check& check : checks) {
    if (!HaveProgram(check.tool)) {
      failures += std::string(check.tool) + " is not installed\n";
      continue;
    }
    std::vector<std::string> commands;
    if (check.each == nullptr) {
      commands.push_back(check.command);
    } else {
      for (const std::string& path : archivePaths)
        commands.push_back(check.each + Quote(path) + " >/dev/null");
    }
    for (const std::string& command : commands) {
      CommandResult r = Run(command);
      if (r.exitCode != 0) {
        failures += std::string(check.tool) + " refused:\n" + command + "\n" + r.output + "\n";
      }
    }
  }
  return failures;
}

std::string EpubcheckProblems(const std::string& bookPath) {
  const std::string jar = "/usr/share/java/epubcheck.jar";
  if (!std::filesystem::exists(jar) || !HaveProgram("java")) {
    return "the EPUB validator is not installed (Debian package epubcheck)";
  }
  // C1 only: the validator runs for seconds, most of it spent compiling itself.
  CommandResult r = Run("java -XX:TieredStopAtLevel=1 -jar " + jar + " " + Quote(bookPath));
  if (r.exitCode == 0 &&
      r.output.find("Messages: 0 fatals / 0 errors / 0 warnings") != std::string::npos) {
    return {};
  }
  return r.output;
}

}  // namespace lumbrella::test
