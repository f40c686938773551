#include "book/uuid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <random>

namespace lumbrella {

namespace {

void FillRandom(uint8_t* bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t got = getrandom(bytes + done, count - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  if (done == count) return;
  // No getrandom (very old kernel, seccomp filter): the identifier only has to differ
  // from other books', so the library's random device is good enough.
  std::random_device device;
  for (; done < count; ++done)
    bytes[done] = static_cast<uint8_t>(device());
}

}  // namespace

std::string NewUuid() {
  uint8_t b[16];
  FillRandom(b, sizeof b);
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // variant 10xx (RFC 4122)
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[b[i] >> 4];
    text += kHex[b[i] & 0x0F];
  }
  return text;
}

}  // namespace lumbrella
