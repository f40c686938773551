// Failures of the archive packer and reader.
#pragma once

#include "platform/errors.h"

namespace lumbrella {

class EPackerError : public Exception {
 public:
  using Exception::Exception;
};

// "User canceled Zip operation" (a start handler said stop) or "User Aborted Operation"
// (a cancel request was pending).
class EUserCanceled : public EPackerError {
 public:
  using EPackerError::EPackerError;
};

// "Not enough room to write archive": the output took fewer bytes than were written.
class ENotEnoughRoom : public EPackerError {
 public:
  ENotEnoughRoom() : EPackerError("Not enough room to write archive") {}
};

// "Incomplete Zip File": no end record.
class EIncompleteZip : public EPackerError {
 public:
  EIncompleteZip() : EPackerError("Incomplete Zip File") {}
};

// "Not a valid zip file!"
class ENotAZipFile : public EPackerError {
 public:
  ENotAZipFile() : EPackerError("Not a valid zip file!") {}
};

// "Not a valid zip file!": the directory is unreadable and the repair scan found nothing.
class EBadZipFile : public EPackerError {
 public:
  EBadZipFile() : EPackerError("Not a valid zip file!") {}
};

// Never raised here (zip/packer.h: what changes nothing on this platform).
class EConfigFileSaveError : public EPackerError {
 public:
  using EPackerError::EPackerError;
};

class EZLibError : public Exception {
 public:
  using Exception::Exception;
};

// A negative result from zlib while deflating: "error".
class EZCompressionError : public EZLibError {
 public:
  EZCompressionError() : EZLibError("error") {}
};

}  // namespace lumbrella
