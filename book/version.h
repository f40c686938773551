#pragma once

namespace lumbrella {

// The program's version text, shown by --version.
const char* ProgramVersion();

}  // namespace lumbrella
