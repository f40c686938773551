// CRC-32s of files known from when they were written, so that an update need not read a
// file back to learn whether an old entry holds its bytes already. A record stands for the
// file as it was recorded (platform/files.h, TFileStamp): anything that writes to it
// afterwards changes its stamp, and the record no longer counts.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <utility>

#include "platform/files.h"

namespace lumbrella {

class TKnownCrcs {
 public:
  // crc is the CRC-32 of everything the open file fd holds now.
  void Record(int fd, uint32_t crc);
  // The CRC-32 recorded for the file the stamp describes, when it still stands as recorded.
  std::optional<uint32_t> Find(const TFileStamp& stamp) const;
  void Clear() { records_.clear(); }
  size_t Count() const { return records_.size(); }

 private:
  std::map<std::pair<uint64_t, uint64_t>, std::pair<TFileStamp, uint32_t>> records_;
};

}  // namespace lumbrella
