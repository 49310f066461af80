#pragma once

// Result codes of the configuration records and of the XML layer beneath them. Every operation
// that reads or writes XML returns one of these; nothing is thrown.

namespace zyl::xml {

enum ErrorCode : int {
  kOk = 0,
  kWrongRoot = 1,       // the document's first element is not the expected root
  kMissingElement = 2,  // a required element is missing, or an element is out of place
  kBadValue = 3,        // an element or attribute value cannot be read
  kNotInteger = 4,      // an integer value is not an integer
  kOutOfRange = 5,      // an integer value lies outside its range
  kMalformed = 6,       // the text is not well-formed XML (or holds a document type declaration)
  kFileError = 7,       // a file or stream cannot be read or written
  kNoMemory = 8,        // memory ran out while reading or writing
};

// A short English description of a code; never null (unknown codes have a text of their own).
const char* errorText(int code);

}  // namespace zyl::xml
