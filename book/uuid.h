// Identifiers of books.
#pragma once

#include <string>

namespace lumbrella {

// A random (version 4) UUID in its lowercase text form, e.g.
// "3f2c8a1e-5b7d-4c9e-8f10-2a3b4c5d6e7f". The bytes come from the kernel's random source.
std::string NewUuid();

}  // namespace lumbrella
