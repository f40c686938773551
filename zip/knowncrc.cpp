#include "zip/knowncrc.h"

namespace lumbrella {

void TKnownCrcs::Record(int fd, uint32_t crc) {
  TFileStamp stamp;
  if (!GetFileStamp(fd, stamp)) return;
  records_[{stamp.device, stamp.inode}] = {stamp, crc};
}

std::optional<uint32_t> TKnownCrcs::Find(const TFileStamp& stamp) const {
  const auto found = records_.find({stamp.device, stamp.inode});
  if (found == records_.end() || !(found->second.first == stamp)) return std::nullopt;
  return found->second.second;
}

}  // namespace lumbrella
