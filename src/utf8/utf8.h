// UTF-8 text: whether a string is well formed, how a message shows a name
// that may not be, and how wide a name is in a terminal. Names, tags and
// messages are UTF-8 throughout the tool.
#pragma once

#include <string>

// True when `text` is well-formed UTF-8: no overlong forms, no UTF-16
// surrogates, no code points past U+10FFFF, nothing cut short.
bool isValidUtf8(const std::string& text);

// `text` with each byte that starts no well-formed character written as
// its escape, "\xe9"; well-formed text, control characters included,
// unchanged. For tags, which must be UTF-8, made from names that may not
// be.
std::string toValidUtf8(const std::string& text);

// `text` as every message shows a name: well-formed UTF-8 unchanged, but
// control characters (C0, DEL, C1) and bytes that start no well-formed
// character escaped (\n, \t, \r, \x1b, \xff), so that a message always
// stays one line.
std::string printable(const std::string& text);

// Columns that `utf8` takes in a terminal: 2 for East Asian wide and
// full-width characters, 1 for any other code point.
int displayWidth(const std::string& utf8);
