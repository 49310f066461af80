#include "zyl/XmlError.h"

namespace zyl::xml {

const char* errorText(int code) {
  switch (code) {
    case kOk:
      return "success";
    case kWrongRoot:
      return "wrong root element";
    case kMissingElement:
      return "missing or misplaced element";
    case kBadValue:
      return "value cannot be read";
    case kNotInteger:
      return "value is not an integer";
    case kOutOfRange:
      return "value out of range";
    case kMalformed:
      return "malformed XML";
    case kFileError:
      return "file or stream cannot be read or written";
    case kNoMemory:
      return "out of memory";
  }
  return "unknown error";
}

}  // namespace zyl::xml
