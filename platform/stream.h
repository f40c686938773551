// Byte streams: an interface with a file stream, a buffered file stream and an in-memory
// stream, so that most archive code can be tested without touching the disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace lumbrella {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  virtual ~TStream() = default;

  // Reads up to count bytes; returns how many arrived (0 at the end).
  virtual size_t Read(void* buffer, size_t count) = 0;
  // Writes up to count bytes; returns how many were stored (fewer when the disk is full).
  virtual size_t Write(const void* buffer, size_t count) = 0;
  // Moves the position; returns the new one.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size();

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t position) { Seek(position, TSeekOrigin::soBeginning); }

  // Exactly count bytes, or EReadError ("Stream read error").
  void ReadBuffer(void* buffer, size_t count);
  // Exactly count bytes, or EWriteError ("Stream write error").
  void WriteBuffer(const void* buffer, size_t count);

 protected:
  // Raised when ReadBuffer or WriteBuffer falls short; a file stream names itself and the
  // cause.
  [[noreturn]] virtual void ReadFailed();
  [[noreturn]] virtual void WriteFailed();
};

// Called after each block CopyStream has written, with the block's bytes.
using TCopyBlock = std::function<void(const char* data, size_t size)>;

// Copies up to count bytes from from's position to to's, in blocks of blockSize (or of the
// buffer given, which a caller copying again and again keeps); returns how many: fewer only
// when from ends first. EWriteError when to takes fewer bytes.
uint64_t CopyStream(TStream& from, TStream& to, uint64_t count, size_t blockSize = 65536,
                    const TCopyBlock& block = nullptr);
uint64_t CopyStream(TStream& from, TStream& to, uint64_t count, std::span<char> buffer,
                    const TCopyBlock& block = nullptr);

enum class TFileMode {
  fmOpenRead,       // existing file, read only; others may go on reading and writing it
  fmOpenReadWrite,  // existing file, read and write
  fmCreate,         // created anew (an existing file is truncated), read and write
};

// An unbuffered file. The constructor raises EFOpenError or EFCreateError with the
// expanded path and the system's error text.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& ansiPath, TFileMode mode);
  // Takes over an open descriptor (closed by the stream); ansiPath names it in messages.
  TFileStream(int fd, std::string ansiPath);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override;

  int Handle() const { return fd_; }
  const std::string& FileName() const { return path_; }
  // The last system error of a short read or write (0 if none).
  int LastError() const { return lastError_; }
  // Makes the written bytes durable (fsync); false on failure.
  virtual bool Sync();
  // Cuts the file off at the current position (of an unbuffered stream); false on failure.
  bool Truncate();
  // Closes the file now; false when close() reports an error (bytes may not have arrived).
  virtual bool Close();

 protected:
  [[noreturn]] void ReadFailed() override;   // EReadError naming the file and the cause
  [[noreturn]] void WriteFailed() override;  // EWriteError naming the file and the cause
  // Writes to the file itself, as much as it takes (see SetWriteFault).
  size_t WriteOut(const char* data, size_t count);

  int fd_ = -1;
  std::string path_;
  int lastError_ = 0;
};

// Tests stand in for a full disk with this: while it is set, a file stream asks it before
// each write, and an error number it returns for the stream's path (ANSI) makes the write
// store nothing and fail with that error. Unset by default.
using TWriteFault = std::function<int(const std::string& ansiPath)>;
void SetWriteFault(TWriteFault fault);

// A file stream with a buffer (8,192 bytes unless told otherwise). Writes are gathered
// and go to the file when the buffer is full, on Seek, Flush, Sync and destruction. A
// write that the file refuses (disk full) makes Write return fewer bytes than asked; a
// failing flush on Seek raises EWriteError.
class TBufferedFileStream : public TFileStream {
 public:
  TBufferedFileStream(const std::string& ansiPath, TFileMode mode, size_t bufferSize = 8192);
  TBufferedFileStream(int fd, std::string ansiPath, size_t bufferSize = 8192);
  ~TBufferedFileStream() override;

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override;
  bool Sync() override;
  bool Close() override;  // pending bytes first

  // Writes out pending bytes; false when the file took fewer.
  bool Flush();

 private:
  void DropReadAhead();

  std::vector<char> buffer_;
  size_t pending_ = 0;  // bytes waiting to be written, at buffer_[0, pending_)
  size_t readPos_ = 0;  // read-ahead: buffer_[readPos_, readEnd_) is unread
  size_t readEnd_ = 0;
  int64_t filePos_ = 0;  // position of the file descriptor
};

// A growable in-memory stream.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string bytes) : data_(std::move(bytes)) {}

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }

  const std::string& Data() const { return data_; }
  std::string& Data() { return data_; }

 private:
  std::string data_;
  size_t pos_ = 0;
};

}  // namespace lumbrella
