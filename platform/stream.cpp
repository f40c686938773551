#include "platform/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/errors.h"
#include "platform/files.h"

namespace lumbrella {

int64_t TStream::Size() {
  int64_t here = Position();
  int64_t end = Seek(0, TSeekOrigin::soEnd);
  Seek(here, TSeekOrigin::soBeginning);
  return end;
}

void TStream::ReadBuffer(void* buffer, size_t count) {
  if (count != 0 && Read(buffer, count) != count) ReadFailed();
}

void TStream::WriteBuffer(const void* buffer, size_t count) {
  if (count != 0 && Write(buffer, count) != count) WriteFailed();
}

void TStream::ReadFailed() {
  throw EReadError();
}

void TStream::WriteFailed() {
  throw EWriteError();
}

uint64_t CopyStream(TStream& from, TStream& to, uint64_t count, size_t blockSize,
                    const TCopyBlock& block) {
  std::vector<char> buffer(std::max<size_t>(blockSize, 1));
  return CopyStream(from, to, count, std::span<char>(buffer), block);
}

uint64_t CopyStream(TStream& from, TStream& to, uint64_t count, std::span<char> buffer,
                    const TCopyBlock& block) {
  uint64_t done = 0;
  while (done < count) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(count - done, buffer.size()));
    size_t got = from.Read(buffer.data(), want);
    if (got == 0) break;
    to.WriteBuffer(buffer.data(), got);
    done += got;
    if (block) block(buffer.data(), got);
  }
  return done;
}

namespace {

int Whence(TSeekOrigin origin) {
  switch (origin) {
    case TSeekOrigin::soBeginning:
      return SEEK_SET;
    case TSeekOrigin::soCurrent:
      return SEEK_CUR;
    case TSeekOrigin::soEnd:
      return SEEK_END;
  }
  return SEEK_SET;
}

// read() until count bytes, the end of the file or an error.
size_t ReadFully(int fd, char* p, size_t count, int& err) {
  size_t done = 0;
  while (done < count) {
    ssize_t got = read(fd, p + done, count - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) err = errno;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

size_t WriteFully(int fd, const char* p, size_t count, int& err) {
  size_t done = 0;
  while (done < count) {
    ssize_t put = write(fd, p + done, count - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      err = put < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<size_t>(put);
  }
  return done;
}

TWriteFault& WriteFault() {
  static TWriteFault fault;
  return fault;
}

}  // namespace

void SetWriteFault(TWriteFault fault) {
  WriteFault() = std::move(fault);
}

TFileStream::TFileStream(const std::string& ansiPath, TFileMode mode) : path_(ansiPath) {
  std::string fs = FsPath(ansiPath);
  switch (mode) {
    case TFileMode::fmOpenRead: {
      // O_NONBLOCK only for the open itself: a named pipe without a writer would otherwise
      // hang the program here; read from, it then simply ends. (On a regular file it
      // changes nothing.)
      fd_ = open(fs.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
      if (fd_ < 0) RaiseOpenError(ansiPath, errno);
      struct stat st;
      const bool known = fstat(fd_, &st) == 0;
      if (known && S_ISDIR(st.st_mode)) {
        close(fd_);
        fd_ = -1;
        RaiseOpenError(ansiPath, EISDIR);
      }
      if (!known || !S_ISREG(st.st_mode)) fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
      break;
    }
    // Opened for writing, a folder fails with EISDIR.
    case TFileMode::fmOpenReadWrite:
      fd_ = open(fs.c_str(), O_RDWR | O_CLOEXEC);
      if (fd_ < 0) RaiseOpenError(ansiPath, errno);
      break;
    case TFileMode::fmCreate:
      fd_ = open(fs.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
      if (fd_ < 0) RaiseCreateError(ansiPath, errno);
      break;
  }
}

TFileStream::TFileStream(int fd, std::string ansiPath) : fd_(fd), path_(std::move(ansiPath)) {}

TFileStream::~TFileStream() {
  if (fd_ >= 0) close(fd_);
}

bool TFileStream::Close() {
  if (fd_ < 0) return true;
  int fd = fd_;
  fd_ = -1;
  return close(fd) == 0;
}

size_t TFileStream::Read(void* buffer, size_t count) {
  return ReadFully(fd_, static_cast<char*>(buffer), count, lastError_);
}

size_t TFileStream::Write(const void* buffer, size_t count) {
  return WriteOut(static_cast<const char*>(buffer), count);
}

size_t TFileStream::WriteOut(const char* data, size_t count) {
  if (WriteFault() && count != 0) {
    if (const int err = WriteFault()(path_); err != 0) {
      lastError_ = err;
      return 0;
    }
  }
  return WriteFully(fd_, data, count, lastError_);
}

void TFileStream::ReadFailed() {
  RaiseReadError(path_, lastError_);
}

void TFileStream::WriteFailed() {
  RaiseWriteError(path_, lastError_);
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  off_t r = lseek(fd_, static_cast<off_t>(offset), Whence(origin));
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t TFileStream::Size() {
  struct stat st;
  return fstat(fd_, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

bool TFileStream::Sync() {
  return fsync(fd_) == 0;
}

bool TFileStream::Truncate() {
  const int64_t here = Position();
  return here >= 0 && ftruncate(fd_, static_cast<off_t>(here)) == 0;
}

TBufferedFileStream::TBufferedFileStream(const std::string& ansiPath, TFileMode mode,
                                         size_t bufferSize)
    : TFileStream(ansiPath, mode), buffer_(std::max<size_t>(bufferSize, 1)) {}

TBufferedFileStream::TBufferedFileStream(int fd, std::string ansiPath, size_t bufferSize)
    : TFileStream(fd, std::move(ansiPath)), buffer_(std::max<size_t>(bufferSize, 1)) {}

TBufferedFileStream::~TBufferedFileStream() {
  if (fd_ >= 0) Flush();
}

bool TBufferedFileStream::Close() {
  bool flushed = fd_ < 0 || Flush();
  return TFileStream::Close() && flushed;
}

bool TBufferedFileStream::Flush() {
  if (pending_ == 0) return true;
  size_t put = WriteOut(buffer_.data(), pending_);
  filePos_ += static_cast<int64_t>(put);
  if (put < pending_) {
    // Keep what the file refused so that the logical position stays right.
    std::memmove(buffer_.data(), buffer_.data() + put, pending_ - put);
    pending_ -= put;
    return false;
  }
  pending_ = 0;
  return true;
}

void TBufferedFileStream::DropReadAhead() {
  if (readPos_ == readEnd_) return;
  filePos_ = lseek(fd_, static_cast<off_t>(filePos_ - static_cast<int64_t>(readEnd_ - readPos_)),
                   SEEK_SET);
  readPos_ = readEnd_ = 0;
}

size_t TBufferedFileStream::Read(void* buffer, size_t count) {
  if (!Flush()) WriteFailed();
  char* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < count) {
    if (readPos_ < readEnd_) {
      size_t take = std::min(count - done, readEnd_ - readPos_);
      std::memcpy(out + done, buffer_.data() + readPos_, take);
      readPos_ += take;
      done += take;
      continue;
    }
    readPos_ = readEnd_ = 0;
    if (count - done >= buffer_.size()) {
      size_t got = ReadFully(fd_, out + done, count - done, lastError_);
      filePos_ += static_cast<int64_t>(got);
      done += got;
      break;
    }
    size_t got = ReadFully(fd_, buffer_.data(), buffer_.size(), lastError_);
    filePos_ += static_cast<int64_t>(got);
    if (got == 0) break;
    readEnd_ = got;
  }
  return done;
}

size_t TBufferedFileStream::Write(const void* buffer, size_t count) {
  DropReadAhead();
  const char* in = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < count) {
    if (pending_ == buffer_.size() && !Flush()) return done;
    if (pending_ == 0 && count - done >= buffer_.size()) {
      size_t put = WriteOut(in + done, count - done);
      filePos_ += static_cast<int64_t>(put);
      return done + put;
    }
    size_t take = std::min(count - done, buffer_.size() - pending_);
    std::memcpy(buffer_.data() + pending_, in + done, take);
    pending_ += take;
    done += take;
  }
  return done;
}

int64_t TBufferedFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t logical =
      filePos_ + static_cast<int64_t>(pending_) - static_cast<int64_t>(readEnd_ - readPos_);
  if (origin == TSeekOrigin::soCurrent && offset == 0) return logical;
  if (!Flush()) WriteFailed();
  if (origin == TSeekOrigin::soCurrent) {
    offset += logical;
    origin = TSeekOrigin::soBeginning;
  }
  readPos_ = readEnd_ = 0;
  off_t r = lseek(fd_, static_cast<off_t>(offset), Whence(origin));
  if (r < 0) {
    filePos_ = lseek(fd_, 0, SEEK_CUR);
    return -1;
  }
  filePos_ = r;
  return filePos_;
}

int64_t TBufferedFileStream::Size() {
  return std::max(TFileStream::Size(), filePos_ + static_cast<int64_t>(pending_));
}

bool TBufferedFileStream::Sync() {
  return Flush() && TFileStream::Sync();
}

size_t TMemoryStream::Read(void* buffer, size_t count) {
  if (pos_ >= data_.size()) return 0;
  size_t take = std::min(count, data_.size() - pos_);
  std::memcpy(buffer, data_.data() + pos_, take);
  pos_ += take;
  return take;
}

size_t TMemoryStream::Write(const void* buffer, size_t count) {
  if (pos_ + count > data_.size()) data_.resize(pos_ + count);
  std::memcpy(data_.data() + pos_, buffer, count);
  pos_ += count;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == TSeekOrigin::soBeginning ? 0
                 : origin == TSeekOrigin::soCurrent ? static_cast<int64_t>(pos_)
                                                    : static_cast<int64_t>(data_.size());
  int64_t target = base + offset;
  if (target < 0) return -1;
  pos_ = static_cast<size_t>(target);
  return target;
}

}  // namespace lumbrella
