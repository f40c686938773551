// The cover image of a book: the file it becomes under OEBPS/images and its media type.
#pragma once

#include <string>
#include <string_view>

#include "platform/errors.h"

namespace lumbrella {

struct TCoverTarget {
  std::string fileName;   // "cover" + an extension of the image's type
  std::string mediaType;  // "image/jpeg", "image/png" or "image/gif"
  bool convert = false;   // not a type every reader shows: decoded and written as PNG
};

// "Cannot read image "%s". Unknown or damaged image format": a cover that opens but does
// not decode as any image format the program knows.
class EInvalidGraphic : public Exception {
 public:
  using Exception::Exception;
};

// Decided by the first bytes of the image, whatever its name says: a JPEG, PNG or GIF is
// copied, as "cover" + the path's extension when that is one of its type (letter case
// kept), else + the type's usual extension; anything else is converted to cover.png.
TCoverTarget CoverTargetFor(std::string_view coverPath, std::string_view head);

// Whether the file can be a cover, checked as it is chosen: raises what PlaceCoverImage
// would for it (EFOpenError when it cannot be opened or is no regular file,
// EInvalidGraphic when it is no JPEG, PNG or GIF and does not decode as another image),
// and writes nothing.
void CheckCoverImage(const std::string& coverPath);

// Puts the image into folder (ending in "/") as CoverTargetFor says and returns the target.
// Raises EFOpenError when the image cannot be opened or is no regular file, EInvalidGraphic
// when an image to convert does not decode, EFCreateError or EWriteError when its copy
// cannot be written.
TCoverTarget PlaceCoverImage(const std::string& coverPath, const std::string& folder);

}  // namespace lumbrella
