// The file system as the rest of the program needs it. Paths are ANSI text; they become
// file-system names at the system call (FsPath). The path separator is "/"; ":" is an
// ordinary character.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace lumbrella {

// File attribute bits as archives record them (the FAT attribute byte).
inline constexpr uint32_t faReadOnly = 0x01;
inline constexpr uint32_t faHidden = 0x02;
inline constexpr uint32_t faSysFile = 0x04;
inline constexpr uint32_t faVolumeID = 0x08;
inline constexpr uint32_t faDirectory = 0x10;
inline constexpr uint32_t faArchive = 0x20;

// The file-system form of an ANSI path. A name the system gave as bytes that are not UTF-8
// (a GBK name, see Utf8ToAnsi) is ANSI already, and the ANSI text cannot tell it from the
// same characters in UTF-8; so each part of the path that exists is taken in the form under
// which it exists, UTF-8 first and its own bytes otherwise, and the parts that do not exist
// yet become UTF-8.
std::string FsPath(std::string_view ansiPath);

// The ANSI path of a file named by text in which a name that is not UTF-8 reads with U+FFFD
// for its bytes (as Qt's dialogs, local URLs and arguments give it). Each part holding
// U+FFFD stands for the one name in its folder that reads the same, a run of U+FFFD for any
// bytes that are not UTF-8; a part that matches no name, or several, stays as it reads.
std::string ShownPathToAnsi(std::u16string_view shown);

// Absolute form of a path: relative paths are taken from the working folder, "." and ".."
// components and repeated separators are resolved lexically (links are not followed).
std::string ExpandFileName(std::string_view path);

// The system's text for an error number, as ANSI, with trailing blanks, line ends and
// periods removed.
std::string SysErrorText(int err);

// Raise EFOpenError / EFCreateError for path with the text of err:
// "Cannot open file "<expanded path>". <error text>". The exception carries err.
[[noreturn]] void RaiseOpenError(std::string_view path, int err);
[[noreturn]] void RaiseCreateError(std::string_view path, int err);
// Raise EReadError / EWriteError for a file: "Stream read error: "<expanded path>". <error
// text>", where err 0 (a read that met the end of the file early) reads "Unexpected end of
// file". The exception carries err.
[[noreturn]] void RaiseReadError(std::string_view path, int err);
[[noreturn]] void RaiseWriteError(std::string_view path, int err);

// Raises EFOpenError "Cannot open file "<expanded path>". Not a regular file" unless the open
// file fd is a regular file whose size can be trusted: a device or a pipe would be read
// until the disk fills or would give nothing, and the kernel's own files (/proc) say 0
// bytes whatever they hold. Returns that size.
int64_t RequireRegularFile(int fd, std::string_view path);

// Name parts, split at the last "/". ExtractFilePath keeps the trailing "/".
std::string ExtractFileName(std::string_view path);
std::string ExtractFilePath(std::string_view path);
// The text from the last "." to the end, when that "." lies after the last "/"; else empty.
std::string ExtractFileExt(std::string_view path);

struct TFileInfo {
  std::string name;       // last component (ListDirectory only)
  int64_t size = 0;       // bytes; 0 for a folder
  std::time_t mtime = 0;  // last write, seconds since the epoch
  uint32_t attributes = 0;
  bool regular = false;  // a regular file (not a folder, device, pipe or socket)
  uint64_t device = 0;   // which file it is: device and inode
  uint64_t inode = 0;
  bool IsDirectory() const { return (attributes & faDirectory) != 0; }
};

// Attributes as the archive format sees them: faDirectory for a folder, faArchive for a
// file, faReadOnly when the file cannot be written, faHidden when the name begins with ".".
// Links are followed. Returns false when nothing is there (or it cannot be examined).
bool GetFileInfo(std::string_view path, TFileInfo& info);
bool FileExists(std::string_view path);   // a file (not a folder) is there
int64_t FileSize(std::string_view path);  // bytes of what is there (links followed); -1: nothing
bool DirectoryExists(std::string_view path);  // a folder is there

// The entries of a folder except "." and "..", sorted by name with ASCII letters folded to
// one case (as the file systems the archive format grew up on return them), so that
// packing a tree gives the same archive on every machine. Empty when it cannot be read.
std::vector<TFileInfo> ListDirectory(std::string_view folder);

// Which file an open descriptor reaches (device and inode) and how it stands: its size and
// the times of its last write and last change, to the nanosecond. Writing to the file
// changes the stamp; so does anything else done to it but reading.
struct TFileStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t mtimeSec = 0;
  int64_t mtimeNsec = 0;
  int64_t ctimeSec = 0;
  int64_t ctimeNsec = 0;
  bool operator==(const TFileStamp&) const = default;
};
// False when the descriptor cannot be examined.
bool GetFileStamp(int fd, TFileStamp& stamp);

// One folder level; false when it exists already or cannot be made.
bool CreateDir(std::string_view path);
bool DeleteFile(std::string_view path);
// Removes a folder with everything in it (links are removed, not followed). True when
// nothing is left at path afterwards.
bool RemoveTree(std::string_view path);
// Bytes that this user may still write on the file system holding path; -1 when unknown.
int64_t FreeSpace(std::string_view path);
// Copies a file; fails (false) when the target exists.
bool CopyFileNoOverwrite(std::string_view from, std::string_view to);

}  // namespace lumbrella
