// Exceptions shared by every layer. Messages are ANSI text (GB18030 bytes), as all text
// inside the program is; convert with AnsiToUtf8 before printing to a terminal.
#pragma once

#include <exception>
#include <string>

namespace lumbrella {

// The common base of every failure the program raises on purpose.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

class EStreamError : public Exception {
 public:
  using Exception::Exception;
  // A failure on a named file: its expanded path and the system's error number (0 when the
  // system gave none, ENOSPC for a full disk), so that a caller can tell the cause without
  // reading the message.
  EStreamError(std::string message, std::string path, int sysError)
      : Exception(std::move(message)), path_(std::move(path)), sysError_(sysError) {}
  const std::string& Path() const noexcept { return path_; }
  int SysError() const noexcept { return sysError_; }

 private:
  std::string path_;
  int sysError_ = 0;
};

// "Cannot open file "%s". %s"
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

// "Cannot create file "%s". %s"
class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

// "Stream read error": a read that had to deliver a fixed count delivered fewer bytes. Of a
// file, the message names it and the cause: "Stream read error: "%s". %s" (RaiseReadError).
class EReadError : public EStreamError {
 public:
  EReadError() : EStreamError("Stream read error") {}
  EReadError(std::string message, std::string path, int sysError)
      : EStreamError(std::move(message), std::move(path), sysError) {}
};

// "Stream write error": a write that had to store a fixed count stored fewer bytes. Of a
// file, "Stream write error: "%s". %s" (RaiseWriteError).
class EWriteError : public EStreamError {
 public:
  EWriteError() : EStreamError("Stream write error") {}
  EWriteError(std::string message, std::string path, int sysError)
      : EStreamError(std::move(message), std::move(path), sysError) {}
};

// List misuse: "Index %d is out of range", "Duplicate Object index".
class EListError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace lumbrella
