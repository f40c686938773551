// The file system as the rest of the program needs it. Paths are ANSI text; they become
// UTF-8 at the system call. The path separator is "/"; ":" is an ordinary character.
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

// The file-system form of an ANSI path.
std::string FsPath(std::string_view ansiPath);

// Absolute form of a path: relative paths are taken from the working folder, "." and ".."
// components and repeated separators are resolved lexically (links are not followed).
std::string ExpandFileName(std::string_view path);

// The system's text for an error number, as ANSI, with trailing blanks, line ends and
// periods removed.
std::string SysErrorText(int err);

// Raise EFOpenError / EFCreateError for path with the text of err:
// "Cannot open file "<expanded path>". <error text>".
[[noreturn]] void RaiseOpenError(std::string_view path, int err);
[[noreturn]] void RaiseCreateError(std::string_view path, int err);

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
  bool IsDirectory() const { return (attributes & faDirectory) != 0; }
};

// Attributes as the archive format sees them: faDirectory for a folder, faArchive for a
// file, faReadOnly when the file cannot be written, faHidden when the name begins with ".".
// Links are followed. Returns false when nothing is there (or it cannot be examined).
bool GetFileInfo(std::string_view path, TFileInfo& info);
bool FileExists(std::string_view path);       // a file (not a folder) is there
bool DirectoryExists(std::string_view path);  // a folder is there

// The entries of a folder except "." and "..", sorted by name with ASCII letters folded to
// one case (as the file systems the archive format grew up on return them), so that
// packing a tree gives the same archive on every machine. Empty when it cannot be read.
std::vector<TFileInfo> ListDirectory(std::string_view folder);

// One folder level; false when it exists already or cannot be made.
bool CreateDir(std::string_view path);
bool DeleteFile(std::string_view path);
// Removes a folder with everything in it (links are removed, not followed). True when
// nothing is left at path afterwards.
bool RemoveTree(std::string_view path);
// Copies a file; fails (false) when the target exists.
bool CopyFileNoOverwrite(std::string_view from, std::string_view to);

}  // namespace lumbrella
