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
  explicit EStreamError(std::string message, int systemError = 0)
      : Exception(std::move(message)), systemError_(systemError) {}
  // The system's error number behind the failure (ENOSPC for a full disk); 0 when none is
  // known.
  int SystemError() const noexcept { return systemError_; }

 private:
  int systemError_;
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
  EReadError(std::string message, int systemError)
      : EStreamError(std::move(message), systemError) {}
};

// "Stream write error": a write that had to store a fixed count stored fewer bytes. Of a
// file, "Stream write error: "%s". %s" (RaiseWriteError).
class EWriteError : public EStreamError {
 public:
  EWriteError() : EStreamError("Stream write error") {}
  EWriteError(std::string message, int systemError)
      : EStreamError(std::move(message), systemError) {}
};

// List misuse: "Index %d is out of range", "Duplicate Object index".
class EListError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace lumbrella
