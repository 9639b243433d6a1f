// render.h: rpdstat's two ways of showing a Status: a text report for a
// terminal and a one-line JSON document for scripts.
//
// Everything that comes from the catalogue or master.ini is untrusted
// text: the JSON renderer escapes it completely (quotes, backslashes,
// control characters; bytes that are not UTF-8 become U+FFFD), the text
// renderer replaces control characters so that a stored message cannot
// drive the operator's terminal.
#pragma once

#include <string>
#include <string_view>

#include "rpdstat/status.h"

namespace rpdstat {

// A JSON string literal (with its quotes) holding `text`.
std::string jsonString(std::string_view text);
// `text` with every control character (C0, DEL, C1) replaced by '?'.
std::string terminalText(std::string_view text);

// The report as a JSON object on one line, ending with a newline.
std::string renderJson(const Status &status);
// The report as text lines for a terminal.
std::string renderText(const Status &status);

}  // namespace rpdstat
