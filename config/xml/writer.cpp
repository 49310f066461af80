#include "config/xml/writer.h"

#include <charconv>

#include "config/xml/text.h"
#include "zyl/XmlError.h"

namespace zyl::xml {

namespace {

bool isXmlChar(char32_t cp) {
  if (cp < 0x20) return cp == '\t' || cp == '\n' || cp == '\r';
  return cp != 0xFFFE && cp != 0xFFFF;
}

// Escapes one code point. In attribute values the whitespace characters are written as
// references too, since a reader normalises them to blanks otherwise; in text only the carriage
// return needs that, as readers turn CR LF into LF.
void escape(std::string& out, char32_t cp, bool inAttribute) {
  switch (cp) {
    case '<':
      out.append("&lt;");
      return;
    case '>':
      out.append("&gt;");
      return;
    case '&':
      out.append("&amp;");
      return;
    case '"':
      if (inAttribute) {
        out.append("&quot;");
        return;
      }
      break;
    case '\r':
      out.append("&#13;");
      return;
    case '\n':
      if (inAttribute) {
        out.append("&#10;");
        return;
      }
      break;
    case '\t':
      if (inAttribute) {
        out.append("&#9;");
        return;
      }
      break;
  }
  appendUtf8(out, isXmlChar(cp) ? cp : char32_t{0xFFFD});
}

bool needsEscape(char c, bool inAttribute) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= 0x80 || u < 0x20) return true;
  return c == '<' || c == '>' || c == '&' || (inAttribute && c == '"');
}

void escapeText(std::string& out, std::string_view text, bool inAttribute) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    // Plain ASCII runs go across in one piece.
    std::size_t run = pos;
    while (run < text.size() && !needsEscape(text[run], inAttribute)) ++run;
    out.append(text.data() + pos, run - pos);
    pos = run;
    if (pos < text.size()) escape(out, decodeUtf8(text, pos), inAttribute);
  }
}

void escapeText(std::string& out, std::wstring_view text, bool inAttribute) {
  forEachCodePoint(text, [&](char32_t cp) { escape(out, cp, inAttribute); });
}

}  // namespace

Writer::Writer(std::string& out, WriterSettings settings) : m_out(out), m_settings(settings) {
  if (m_settings.declaration) {
    m_out.append(R"(<?xml version="1.0" encoding="UTF-8"?>)");
    m_wroteAnything = true;
  }
}

void Writer::closeStartTag() {
  if (m_startTagOpen) {
    m_out.push_back('>');
    m_startTagOpen = false;
  }
}

void Writer::breakLine(int depth) {
  if (!m_wroteAnything) return;
  m_out.append(m_settings.lineBreak);
  for (int i = 0; i < depth; ++i) m_out.append(m_settings.indent);
}

void Writer::startElement(std::string_view name) {
  closeStartTag();
  breakLine(m_depth);
  m_out.push_back('<');
  const OpenElement element{m_out.size(), name.size()};
  m_out.append(name);
  if (m_depth >= kInlineDepth) m_deeper.push_back(element);
  open(m_depth) = element;
  ++m_depth;
  m_startTagOpen = true;
  m_hasChildren = false;
  m_wroteAnything = true;
}

template <class Text>
void Writer::writeAttribute(std::string_view name, Text value) {
  if (!m_startTagOpen) {
    m_error = kBadValue;
    return;
  }
  m_out.push_back(' ');
  m_out.append(name).append("=\"");
  escapeText(m_out, value, true);
  m_out.push_back('"');
}

template <class Text>
void Writer::writeText(Text value) {
  closeStartTag();
  escapeText(m_out, value, false);
}

void Writer::attribute(std::string_view name, std::string_view utf8Value) {
  writeAttribute(name, utf8Value);
}

void Writer::attribute(std::string_view name, std::wstring_view value) {
  writeAttribute(name, value);
}

void Writer::text(std::string_view utf8) {
  writeText(utf8);
}

void Writer::text(std::wstring_view value) {
  writeText(value);
}

void Writer::text(std::int64_t value) {
  closeStartTag();
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  m_out.append(digits, result.ptr);
}

void Writer::raw(std::string_view content) {
  closeStartTag();
  m_out.append(content);
}

void Writer::endElement() {
  if (m_depth == 0) {
    m_error = kBadValue;
    return;
  }
  const OpenElement element = open(m_depth - 1);
  if (element.offset + element.length > m_out.size()) {
    // Someone cut the output short under us; there is no name left to close with.
    m_error = kBadValue;
    return;
  }
  --m_depth;
  if (m_startTagOpen) {
    closeStartTag();
  } else if (m_hasChildren) {
    breakLine(m_depth);
  }
  m_out.append("</");
  // Appending from the string to itself: reserve first so the source cannot move.
  m_out.reserve(m_out.size() + element.length + 1);
  m_out.append(m_out, element.offset, element.length);
  m_out.push_back('>');
  if (m_depth >= kInlineDepth) m_deeper.pop_back();
  // The element just closed is a child of the one that is now innermost.
  m_hasChildren = true;
}

}  // namespace zyl::xml
