#include "config/xml/binding.h"

#include <cstdio>
#include <filesystem>
#include <ostream>

#include "config/xml/text.h"
#include "zyl/XmlError.h"

namespace zyl::xml {

namespace {

// Allocation failures inside become a result; nothing is thrown through the records.
template <class Fn>
int guarded(Fn&& fn) noexcept {
  try {
    return fn();
  } catch (...) {
    return kNoMemory;
  }
}

int readValue(const Element& element, const FieldSpec& field, const FieldSlot& slot) {
  switch (field.type) {
    case FieldType::Text:
      if (element.hasChildren()) return kBadValue;
      assignWide(*static_cast<std::wstring*>(slot.value), element.text());
      break;
    case FieldType::Raw:
      static_cast<std::string*>(slot.value)->assign(element.rawContent());
      break;
    case FieldType::Int32: {
      if (element.hasChildren()) return kBadValue;
      std::string scratch;
      std::int32_t parsed = 0;
      if (const int code = parseInt32(collapse(element.text(), scratch), parsed); code != kOk) {
        return code;
      }
      *static_cast<int*>(slot.value) = parsed;
      break;
    }
  }
  *slot.set = true;
  return kOk;
}

int readElementUnguarded(const Element& element, const RecordBinding& binding) {
  if (!element) return kMalformed;
  const auto& specs = binding.specs;
  const std::size_t count = specs.size();

  std::size_t next = 0;
  for (; next < count && specs[next].isAttribute; ++next) {
    std::string_view value;
    if (element.attribute(specs[next].name, value)) {
      assignWide(*static_cast<std::wstring*>(binding.slots[next].value), value);
      *binding.slots[next].set = true;
    }
  }

  for (Element child = element.firstChild(); child; child = child.nextSibling()) {
    if (!child.complete()) return kMalformed;
    // The child takes the first field at or after `next` that it names; a required field
    // passed over on the way means the child is out of place or that field is missing.
    std::size_t k = next;
    for (; k < count; ++k) {
      if (child.namespaceUri().empty() && child.name() == specs[k].name) break;
      if (specs[k].required) return kMissingElement;
    }
    if (k == count) return kMissingElement;
    if (const int code = readValue(child, specs[k], binding.slots[k]); code != kOk) return code;
    next = k + 1;
  }

  if (!element.complete()) return kMalformed;
  if (element.hasMixedText() || !isAllXmlSpace(element.text())) return kBadValue;
  for (; next < count; ++next) {
    if (specs[next].required) return kMissingElement;
  }
  return kOk;
}

int readFileUnguarded(const char* fileName, const RecordBinding& binding) {
  if (fileName == nullptr) return kFileError;
  std::FILE* file = std::fopen(fileName, "rb");
  if (file == nullptr) return kFileError;
  std::string content;
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, got);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return kFileError;
  return readBuffer(content.data(), content.size(), binding);
}

int writeRecordUnguarded(Writer& writer, const char* rootName, const RecordBinding& binding) {
  writer.startElement(rootName == nullptr ? binding.rootName : rootName);
  for (std::size_t i = 0; i < binding.specs.size(); ++i) {
    const FieldSpec& field = binding.specs[i];
    const FieldSlot& slot = binding.slots[i];
    if (field.isAttribute) {
      if (*slot.set) writer.attribute(field.name, *static_cast<const std::wstring*>(slot.value));
      continue;
    }
    if (!field.required && !*slot.set) continue;
    writer.startElement(field.name);
    switch (field.type) {
      case FieldType::Text:
        writer.text(std::wstring_view(*static_cast<const std::wstring*>(slot.value)));
        break;
      case FieldType::Raw:
        writer.raw(*static_cast<const std::string*>(slot.value));
        break;
      case FieldType::Int32:
        writer.text(std::int64_t{*static_cast<const int*>(slot.value)});
        break;
    }
    writer.endElement();
  }
  writer.endElement();
  return writer.error();
}

int writeFileUnguarded(const char* fileName, const RecordBinding& binding) {
  if (fileName == nullptr) return kFileError;
  std::string text;
  if (const int code = writeString(text, binding); code != kOk) return code;
  std::FILE* file = std::fopen(fileName, "wb");
  if (file == nullptr) return kFileError;
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  written = std::fclose(file) == 0 && written;
  if (!written) {
    // Only a regular file we failed to fill is ours to remove; a device or pipe named by the
    // caller is left alone.
    std::error_code ignored;
    if (std::filesystem::is_regular_file(fileName, ignored)) std::remove(fileName);
    return kFileError;
  }
  return kOk;
}

}  // namespace

int readElement(const Element& element, const RecordBinding& binding) {
  return guarded([&] { return readElementUnguarded(element, binding); });
}

int readDocument(const Reader& reader, const RecordBinding& binding) {
  const Element root = reader.root();
  if (!root) return reader.error() != kOk ? reader.error() : kMalformed;
  if (root.name() != binding.rootName || !root.namespaceUri().empty()) return kWrongRoot;
  const int code = readElement(root, binding);
  // Text after the root element is reported even though the record itself is complete.
  return code != kOk ? code : reader.error();
}

int readBuffer(const char* data, std::size_t size, const RecordBinding& binding) {
  return guarded([&] {
    const Reader reader(data, size);
    return readDocument(reader, binding);
  });
}

int readFile(const char* fileName, const RecordBinding& binding) {
  return guarded([&] { return readFileUnguarded(fileName, binding); });
}

int readFile(const wchar_t* fileName, const RecordBinding& binding) {
  if (fileName == nullptr) return kFileError;
  return guarded([&] { return readFileUnguarded(toUtf8(fileName).c_str(), binding); });
}

int writeRecord(Writer& writer, const char* rootName, const RecordBinding& binding) {
  return guarded([&] { return writeRecordUnguarded(writer, rootName, binding); });
}

int writeString(std::string& out, const RecordBinding& binding) {
  return guarded([&] {
    out.clear();
    Writer writer(out);
    return writeRecordUnguarded(writer, binding.rootName, binding);
  });
}

int writeStream(std::ostream& out, const RecordBinding& binding) {
  std::string text;
  if (const int code = writeString(text, binding); code != kOk) return code;
  try {
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  } catch (...) {
    return kFileError;
  }
  return out ? kOk : kFileError;
}

int writeFile(const char* fileName, const RecordBinding& binding) {
  return guarded([&] { return writeFileUnguarded(fileName, binding); });
}

int writeFile(const wchar_t* fileName, const RecordBinding& binding) {
  if (fileName == nullptr) return kFileError;
  return guarded([&] { return writeFileUnguarded(toUtf8(fileName).c_str(), binding); });
}

bool occursOk(Tracker& tracker, const RecordBinding& binding) {
  for (std::size_t i = 0; i < binding.specs.size(); ++i) {
    const FieldSpec& field = binding.specs[i];
    if (field.isAttribute || !field.required || field.type == FieldType::Raw) continue;
    if (!*binding.slots[i].set) {
      try {
        tracker.addMissing(field.name);
      } catch (...) {
        // The verdict stands even when its text cannot be kept.
      }
      return false;
    }
  }
  return true;
}

bool check(Tracker& tracker, const char* itemName, const RecordBinding& binding) {
  try {
    const std::string outer = tracker.item();
    tracker.setItem(itemName == nullptr ? "" : itemName);
    const bool ok = occursOk(tracker, binding);
    tracker.setItem(outer);
    return ok;
  } catch (...) {
    return occursOk(tracker, binding);
  }
}

void resetField(const RecordBinding& binding, std::size_t index) {
  const FieldSpec& field = binding.specs[index];
  const FieldSlot& slot = binding.slots[index];
  switch (field.type) {
    case FieldType::Text:
      *static_cast<std::wstring*>(slot.value) = field.initialText;
      break;
    case FieldType::Raw:
      static_cast<std::string*>(slot.value)->clear();
      break;
    case FieldType::Int32:
      *static_cast<int*>(slot.value) = field.initialInt;
      break;
  }
  *slot.set = false;
}

void resetAll(const RecordBinding& binding) {
  for (std::size_t i = 0; i < binding.specs.size(); ++i) resetField(binding, i);
}

const std::map<std::string, std::string>& emptyNsMap() {
  static const std::map<std::string, std::string> empty;
  return empty;
}

}  // namespace zyl::xml
