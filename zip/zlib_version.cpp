#include <zlib.h>
namespace lumbrella { const char* ZlibVersion() { return zlibVersion(); } }
