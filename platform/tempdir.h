// The program's private temporary folder.
#pragma once

#include <string>

namespace lumbrella {

// Where temporary folders go: $TMPDIR, or /tmp when it is unset or empty. A file-system
// (UTF-8) path without a trailing "/".
std::string TempBaseDir();

// A folder made with mkdtemp under TempBaseDir(), mode 0700, named lumbrella-XXXXXX, and
// removed with everything in it when the object goes away. Another user of the machine can
// neither read what is staged there nor plant a link in it. The file "pid" inside holds
// the id (and pid namespace) of the process that made it, so that a later run can tell a
// folder left behind by a killed one.
class TPrivateTempDir {
 public:
  TPrivateTempDir();  // raises EFCreateError when the folder cannot be made
  ~TPrivateTempDir();
  TPrivateTempDir(const TPrivateTempDir&) = delete;
  TPrivateTempDir& operator=(const TPrivateTempDir&) = delete;

  // ANSI path ending in "/".
  const std::string& Path() const { return path_; }

  // A cleaner of /tmp may remove the folder while the program runs. When it is gone (or
  // something else now stands at its name) a new one is made, under a new name, and Path
  // changes. Raises EFCreateError when it cannot be made.
  void MakeAgainIfGone();

 private:
  void Make();

  std::string path_;
};

// Removes the folders lumbrella-XXXXXX directly under base (a file-system path) that this
// user's earlier runs left behind: those whose "pid" names a process that no longer runs.
// A folder without that file, one recorded in another pid namespace, one of another user
// and a link are left alone; links are never followed.
void RemoveLeftoverTempDirs(const std::string& base);

}  // namespace lumbrella
