// A file that takes the place of its target in one step, or not at all.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

namespace lumbrella {

class TBufferedFileStream;

// The new content of target is written into a temporary file beside it, named so that a
// person can tell what a leftover is (".book.epub.XXXXXX" for "book.epub"), through the
// descriptor of its exclusive creation: nothing is reopened by name, so a link planted in
// the folder meanwhile is never followed. Commit() makes the bytes durable and renames the
// file over the target; a pending file that is not committed is removed. While it exists,
// other writers of a file in the same folder wait (an advisory lock that the system drops
// when the process ends, so a killed run blocks nobody).
class TPendingFile {
 public:
  // A link at target is followed: the file it names is replaced and the link stays. Waits
  // for other writers, calling wait (when set; it may throw to give up) between attempts.
  // Raises EFCreateError with target's path when the target may not be written (it is
  // read-only for this user, a folder or a device, or its folder may not be written) or the
  // temporary cannot be made.
  explicit TPendingFile(const std::string& target, const std::function<void()>& wait = nullptr);
  ~TPendingFile();
  TPendingFile(const TPendingFile&) = delete;
  TPendingFile& operator=(const TPendingFile&) = delete;

  // The file behind the target's links (ANSI), and whether it existed when this was made.
  const std::string& Target() const { return target_; }
  bool TargetExisted() const { return existed_; }
  // The temporary file's path (ANSI) and its stream, positioned at its start.
  const std::string& TempName() const { return tempPath_; }
  TBufferedFileStream& Stream() { return *stream_; }

  // Gives the file the existing target's permission bits (or the default ones of a new
  // file), flushes, fsyncs and closes it, renames it over the target and fsyncs the folder.
  // EWriteError when the bytes cannot be made durable; EFCreateError with the target's path
  // when the name no longer holds this file (something was put in its place) or the rename
  // fails. Either way the target is as it was.
  void Commit();

 private:
  std::string target_;
  std::string tempPath_;
  std::string tempName_;    // file-system name inside the folder
  std::string targetName_;  // file-system name inside the folder
  bool existed_ = false;
  bool committed_ = false;
  mode_t mode_ = 0644;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  int folder_ = -1;  // the folder's descriptor, holding the lock
  std::unique_ptr<TBufferedFileStream> stream_;
};

}  // namespace lumbrella
