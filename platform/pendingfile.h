// A file that takes the place of its target in one step, or not at all.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace lumbrella {

class TBufferedFileStream;

// How long a writer waits for another one of the same file before it gives up.
inline constexpr std::chrono::milliseconds kPendingFileMaxWait{30000};

// The new content of target is written into a temporary file beside it, named so that a
// person can tell what a leftover is (".book.epub.XXXXXX" for "book.epub"; a name too long
// for that is shortened), through the descriptor of its exclusive creation: nothing is
// reopened by name, so a link planted in the folder meanwhile is never followed. Commit()
// makes the bytes durable and renames the file over the target; a pending file that is not
// committed is removed.
//
// Writers of one target take turns through a lock on a file of their own beside it
// (".book.epub.lock", 0600, removed again by the last holder): only this user can take it,
// so no other user can hold a writer up, and a lock file that is not this user's (or a folder
// where none can be made) means writing without one. The system drops the lock when its
// process ends. Each pending file is locked too while its writer lives: one found beside the
// target unlocked, of this user, is a leftover of a run that was killed, and is removed.
class TPendingFile {
 public:
  // A link at target is followed: the file it names is replaced and the link stays. Waits
  // for another writer of the target, calling wait (when set; the first call tells that the
  // wait begins; it may throw to give up) between attempts, and raises EFCreateError with
  // target's path after maxWait. Raises EFCreateError with target's path when the target may
  // not be written (it is read-only for this user, a folder or a device, or its folder may
  // not be written) or the temporary cannot be made.
  explicit TPendingFile(const std::string& target, const std::function<void()>& wait = nullptr,
                        std::chrono::milliseconds maxWait = kPendingFileMaxWait);
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
  // Takes the target's lock (or finds that there is none to take); false when there is none.
  bool Lock(const std::string& target, const std::function<void()>& wait,
            std::chrono::milliseconds maxWait);
  void Unlock();
  // Removes this user's pending files of the target that no live writer holds.
  void RemoveLeftovers();
  // Raises EFCreateError for target after closing what is open.
  [[noreturn]] void Fail(const std::string& target, int err);

  std::string target_;
  std::string tempPath_;
  std::string tempName_;    // file-system name inside the folder
  std::string targetName_;  // file-system name inside the folder
  std::string stem_;        // "." + targetName_, shortened to leave room for a suffix
  bool existed_ = false;
  bool committed_ = false;
  mode_t mode_ = 0644;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  int folder_ = -1;  // the folder's descriptor (a path only when the folder may not be read)
  bool folderReadable_ = false;
  int lock_ = -1;  // the lock file's descriptor, holding the lock
  dev_t lockDevice_ = 0;
  ino_t lockInode_ = 0;
  std::unique_ptr<TBufferedFileStream> stream_;
};

}  // namespace lumbrella
