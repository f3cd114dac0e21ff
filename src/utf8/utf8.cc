#include "utf8/utf8.h"

#include <cstdint>
#include <cstdio>

namespace {

// The length of the well-formed character at text[i], 1 to 4; 0 when the
// bytes there start none. The second byte's range rules out overlong
// forms, UTF-16 surrogates and code points past U+10FFFF.
size_t characterLength(const std::string& text, size_t i) {
  auto within = [&](size_t k, unsigned low, unsigned high) {
    if (k >= text.size()) return false;
    unsigned b = static_cast<unsigned char>(text[k]);
    return b >= low && b <= high;
  };
  unsigned c = static_cast<unsigned char>(text[i]);
  if (c < 0x80) return 1;
  if (c >= 0xc2 && c <= 0xdf) return within(i + 1, 0x80, 0xbf) ? 2 : 0;
  if (c >= 0xe0 && c <= 0xef) {
    bool whole = within(i + 1, c == 0xe0 ? 0xa0 : 0x80, c == 0xed ? 0x9f : 0xbf) &&
                 within(i + 2, 0x80, 0xbf);
    return whole ? 3 : 0;
  }
  if (c >= 0xf0 && c <= 0xf4) {
    bool whole = within(i + 1, c == 0xf0 ? 0x90 : 0x80, c == 0xf4 ? 0x8f : 0xbf) &&
                 within(i + 2, 0x80, 0xbf) && within(i + 3, 0x80, 0xbf);
    return whole ? 4 : 0;
  }
  return 0;
}

// True for the character of `length` bytes at text[i] that is a control
// character: C0, DEL, or C1 (0xc2 0x80..0x9f).
bool isControl(const std::string& text, size_t i, size_t length) {
  auto c = static_cast<unsigned char>(text[i]);
  if (length == 1) return c < 0x20 || c == 0x7f;
  return length == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0;
}

// The code point of the well-formed character of `length` bytes at text[i].
uint32_t codePoint(const std::string& text, size_t i, size_t length) {
  static const uint32_t kLeadMask[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
  uint32_t c = static_cast<unsigned char>(text[i]) & kLeadMask[length];
  for (size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3fu);
  return c;
}

// `text` with each character that `keep(text, i, n)` accepts (n its
// length, 0 for a byte that starts none) as it is, and each other byte
// escaped: \n, \t and \r, or \xHH.
template <typename Keep>
std::string escapeBytes(const std::string& text, Keep keep) {
  std::string result;
  for (size_t i = 0; i < text.size();) {
    size_t n = characterLength(text, i);
    if (keep(text, i, n)) {
      result.append(text, i, n);
      i += n;
      continue;
    }
    unsigned char c = static_cast<unsigned char>(text[i++]);
    char escape[8];
    if (c == '\n' || c == '\t' || c == '\r') {
      std::snprintf(escape, sizeof escape, "\\%c", c == '\n' ? 'n' : c == '\t' ? 't' : 'r');
    } else {
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
    }
    result += escape;
  }
  return result;
}

}  // namespace

bool isValidUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    size_t n = characterLength(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string toValidUtf8(const std::string& text) {
  return escapeBytes(text, [](const std::string&, size_t, size_t n) { return n > 0; });
}

std::string printable(const std::string& text) {
  return escapeBytes(text, [](const std::string& t, size_t i, size_t n) {
    return n > 0 && !isControl(t, i, n);
  });
}

int displayWidth(const std::string& utf8) {
  int width = 0;
  for (size_t i = 0; i < utf8.size();) {
    size_t n = characterLength(utf8, i);
    if (n == 0) n = 1;  // a stray byte takes one column, as its escape starts
    uint32_t c = codePoint(utf8, i, n);
    i += n;
    bool wide = (c >= 0x1100 && c <= 0x115f) || (c >= 0x2e80 && c <= 0xa4cf) ||
                (c >= 0xac00 && c <= 0xd7a3) || (c >= 0xf900 && c <= 0xfaff) ||
                (c >= 0xfe30 && c <= 0xfe4f) || (c >= 0xff00 && c <= 0xff60) ||
                (c >= 0xffe0 && c <= 0xffe6) || (c >= 0x20000 && c <= 0x3fffd);
    width += wide ? 2 : 1;
  }
  return width;
}
