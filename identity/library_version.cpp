#include "zyl/version.h"

namespace zyl {

const char* libraryVersion() {
  return ZYL_VERSION;
}

}  // namespace zyl
