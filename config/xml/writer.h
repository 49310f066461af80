#pragma once

// Writing XML onto a byte string. Layout follows three settings: whether the XML declaration
// comes first, the indentation per nesting level and the line-break string. Attributes are
// double-quoted; an element without content is written "<a></a>", never "<a/>"; an element
// holding only text (or raw content) stays on one line; raw content goes in as given, with no
// whitespace added around it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zyl::xml {

// The strings are not copied: they must outlive the Writer (literals, as a rule).
struct WriterSettings {
  bool declaration = true;
  std::string_view indent;
  std::string_view lineBreak;
};

class Writer {
 public:
  // Appends to `out`, which must outlive the Writer and must not be changed by others while
  // elements are open. The declaration, when asked for, is written at once.
  explicit Writer(std::string& out, WriterSettings settings = {});
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void startElement(std::string_view name);
  // Only between startElement and the element's first content; later it is refused (error()).
  void attribute(std::string_view name, std::string_view utf8Value);
  void attribute(std::string_view name, std::wstring_view value);
  // Character data, escaped. Narrow text is taken as UTF-8 (ill-formed bytes become U+FFFD);
  // characters XML 1.0 cannot carry at all (most C0 controls, U+FFFE, U+FFFF) become U+FFFD.
  void text(std::string_view utf8);
  void text(std::wstring_view value);
  void text(std::int64_t value);
  // Inserted verbatim: the caller vouches that it is well-formed content.
  void raw(std::string_view content);
  void endElement();

  // kOk, or kBadValue after a misuse (attribute out of place, end without start).
  int error() const { return m_error; }
  int depth() const { return m_depth; }
  std::string& output() { return m_out; }

 private:
  template <class Text>
  void writeAttribute(std::string_view name, Text value);
  template <class Text>
  void writeText(Text value);
  void closeStartTag();
  void breakLine(int depth);

  // Where the name of an open element lies in the output (just after its '<'): names are not
  // copied, so writing allocates nothing beyond the output's own growth. The first levels live
  // inline; only deeper documents use the vector.
  struct OpenElement {
    std::size_t offset, length;
  };
  static constexpr int kInlineDepth = 16;
  OpenElement& open(int level) {
    return level < kInlineDepth ? m_open[level] : m_deeper[level - kInlineDepth];
  }

  std::string& m_out;
  WriterSettings m_settings;
  OpenElement m_open[kInlineDepth];
  std::vector<OpenElement> m_deeper;
  int m_depth = 0;
  bool m_startTagOpen = false;
  bool m_hasChildren = false;  // of the innermost open element
  bool m_wroteAnything = false;
  int m_error = 0;
};

}  // namespace zyl::xml
