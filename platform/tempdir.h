// The program's private temporary folder.
#pragma once

#include <string>

namespace lumbrella {

// A folder made with mkdtemp under $TMPDIR (or /tmp), mode 0700, named lumbrella-XXXXXX,
// and removed with everything in it when the object goes away. Another user of the
// machine can neither read what is staged there nor plant a link in it.
class TPrivateTempDir {
 public:
  TPrivateTempDir();  // raises EFCreateError when the folder cannot be made
  ~TPrivateTempDir();
  TPrivateTempDir(const TPrivateTempDir&) = delete;
  TPrivateTempDir& operator=(const TPrivateTempDir&) = delete;

  // ANSI path ending in "/".
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace lumbrella
