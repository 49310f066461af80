#pragma once

// The texts the default-settings slots store and hand out: each document kind rewritten with
// the layout of its use, and the tune document reduced to its simplified form.

#include <cstddef>
#include <string>

#include "config/xml/writer.h"

namespace zyl::tune {

// The full tune form is stored on one line to leave room in its slot; the simplified tune and
// ion-source forms are stored readable; hosts are handed four-space indentation.
inline constexpr xml::WriterSettings kFullTuneForm{true, "", ""};
inline constexpr xml::WriterSettings kSimplifiedTuneForm{true, "  ", "\n"};
inline constexpr xml::WriterSettings kIonSourceForm{true, "  ", "\n"};
inline constexpr xml::WriterSettings kFormattedOutput{true, "    ", "\n"};

enum class Kind { Tune, IonSource };

// The stored form of zero-terminated tune text into `out`. Full: without the simple
// calibration. Simplified: with one simple calibration (the document's own when it has
// segments, else the segments of the mass calibration's first speed), without the mass
// calibration, declared as version "1.2". False when the text does not parse or cannot be
// written.
bool simplifyTune(const char* xml, bool full, std::string& out);

// `length` bytes of text (fewer when a zero byte comes first) of one kind, rewritten with
// `settings` into `out`; false when it does not parse or cannot be written.
bool rewrite(Kind kind, const char* xml, std::size_t length, const xml::WriterSettings& settings,
             std::string& out);

// A zero-terminated copy in memory the host releases with free(); null when there is none.
char* handOut(const std::string& text);

}  // namespace zyl::tune
