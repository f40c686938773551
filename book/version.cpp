#include "book/version.h"

namespace lumbrella {

const char* ProgramVersion() {
  return "2.0";
}

}  // namespace lumbrella
