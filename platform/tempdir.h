// The program's private temporary folder.
#pragma once

#include <string>

namespace lumbrella {

// Where temporary folders go on disk: $TMPDIR, or /tmp when it is unset or empty, as a
// file-system (UTF-8) path without links and without a trailing "/". A folder that another
// user could swap for something else is passed over (OthersMayChange), for /tmp and then
// /var/tmp; empty when none of them will do.
std::string TempBaseDir();
// Why $TMPDIR is passed over, one line to show the user; empty when it is not.
std::string TempBaseRefusal();

// True when another user (not root) could rename or replace what folder holds, or the folder
// itself, and so make this user's later paths through it lead elsewhere: when it or a folder
// above it (links resolved) belongs to such a user or is writable by others without the
// sticky bit; true as well when it cannot be examined.
bool OthersMayChange(const std::string& folder);

// The user's own folder in memory, $XDG_RUNTIME_DIR, when $TMPDIR does not say otherwise
// and it is what a session gives: a folder (not a link) of this user, closed to everyone
// else, on a tmpfs. Files there are made, written, read and removed without a disk journal,
// much faster than on disk. Empty when there is none. A file-system path without "/".
std::string RuntimeBaseDir();

// A folder made with mkdtemp, mode 0700, named lumbrella-XXXXXX, and removed with
// everything in it when the object goes away: under RuntimeBaseDir() when there is one
// (whose leftovers of killed runs it first removes), else under TempBaseDir(). A base folder
// that OthersMayChange is refused (EFCreateError). Another
// user of the machine can neither read what is staged there nor plant a link in it. The
// file "pid" inside holds the id (and pid namespace) of the process that made it, so that
// a later run can tell a folder left behind by a killed one.
class TPrivateTempDir {
 public:
  TPrivateTempDir();  // raises EFCreateError when the folder cannot be made
  // Under the given base folder (a file-system path).
  explicit TPrivateTempDir(std::string base);
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

  std::string base_;
  bool chosenBase_ = false;  // made where the default constructor chooses
  std::string path_;
};

// Removes the folders lumbrella-XXXXXX directly under base (a file-system path) that this
// user's earlier runs left behind: those whose "pid" names a process that no longer runs.
// A folder without that file, one recorded in another pid namespace, one of another user
// and a link are left alone; links are never followed.
void RemoveLeftoverTempDirs(const std::string& base);

}  // namespace lumbrella
