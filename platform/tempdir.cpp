#include "platform/tempdir.h"

#include <sys/stat.h>
#include <cerrno>
#include <cstdlib>

#include "platform/codepage.h"
#include "platform/files.h"

namespace lumbrella {

TPrivateTempDir::TPrivateTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string folder = (base != nullptr && *base != '\0') ? base : "/tmp";
  while (folder.size() > 1 && folder.back() == '/')
    folder.pop_back();
  std::string pattern = folder + "/lumbrella-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) RaiseCreateError(Utf8ToAnsi(pattern), errno);
  chmod(pattern.c_str(), 0700);  // mkdtemp already uses 0700; keep it whatever the umask
  path_ = Utf8ToAnsi(pattern) + "/";
}

TPrivateTempDir::~TPrivateTempDir() {
  RemoveTree(path_);
}

}  // namespace lumbrella
