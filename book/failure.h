// Why a conversion failed, told from what was raised (its type and the system's error
// number), and said in a sentence the window shows above the technical line.
#pragma once

#include <exception>
#include <string>

namespace lumbrella {

enum class TFailureCause {
  fcUnknown,
  fcNoPermission,       // the folder (or the book there) may not be written
  fcFolderMissing,      // the folder to save in is gone
  fcDiskFull,           // no room on the disk, or over the quota
  fcNameTooLong,        // the name or the path is too long for the file system
  fcChapterUnreadable,  // a listed chapter file is gone or cannot be read
  fcCoverUnreadable,    // the cover is gone, cannot be read or is no image
  fcNotAnArchive,       // the file at the output path holds no archive to update
  fcBusy,               // another conversion is writing there
};

// The cause of error, raised by a conversion whose cover and output are the given paths
// (ANSI, as handed to it): a file error names its file, so one of the cover or the output
// is told from one of a chapter.
TFailureCause FailureCause(const std::exception_ptr& error, const std::string& cover,
                           const std::string& output);

// One sentence that tells the user what happened and what to do (ANSI); empty for
// fcUnknown.
std::string FailureCauseText(TFailureCause cause);

}  // namespace lumbrella
