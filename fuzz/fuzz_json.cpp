// The JSON of -J for any hub. Input: bytes 0-2 are the firmware text, byte 3
// the port count (-128 to 127), the rest the reply to "GP\r" as the exchange
// keeps it. Each document must be JSON by the grammar of RFC 8259, in ASCII
// and on one line, and its strings must give back the bytes they were made
// of, read as Latin-1. The whole input as one string must do the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "hub_model.h"
#include "json_text.h"
#include "serial_link.h"

namespace {

// A strict reader: Parse*() consume one item at pos and return false at the
// first thing the grammar does not allow. Strings are kept, decoded into
// code points, in the order they appear.
struct Reader {
  const std::string& text;
  std::size_t pos;
  std::vector<std::u32string> strings;
};

bool ParseValue(Reader* r, int depth);

char Peek(const Reader* r) {
  return r->pos < r->text.size() ? r->text[r->pos] : '\0';
}

void SkipBlanks(Reader* r) {
  while (Peek(r) == ' ' || Peek(r) == '\t' || Peek(r) == '\n' ||
         Peek(r) == '\r')
    ++r->pos;
}

bool Literal(Reader* r, const char* word) {
  std::string w(word);
  if (r->text.compare(r->pos, w.size(), w) != 0) return false;
  r->pos += w.size();
  return true;
}

bool Digits(Reader* r) {
  std::size_t start = r->pos;
  while (Peek(r) >= '0' && Peek(r) <= '9') ++r->pos;
  return r->pos > start;
}

bool ParseNumber(Reader* r) {
  if (Peek(r) == '-') ++r->pos;
  if (Peek(r) == '0')
    ++r->pos;
  else if (!(Peek(r) >= '1' && Peek(r) <= '9') || !Digits(r))
    return false;
  if (Peek(r) == '.' && (++r->pos, !Digits(r))) return false;
  if (Peek(r) == 'e' || Peek(r) == 'E') {
    ++r->pos;
    if (Peek(r) == '+' || Peek(r) == '-') ++r->pos;
    if (!Digits(r)) return false;
  }
  return true;
}

bool Hex4(Reader* r, char32_t* unit) {
  *unit = 0;
  for (int i = 0; i < 4; ++i) {
    char c = Peek(r);
    int v = c >= '0' && c <= '9'   ? c - '0'
            : c >= 'a' && c <= 'f' ? c - 'a' + 10
            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                   : -1;
    if (v < 0) return false;
    *unit = *unit * 16 + static_cast<char32_t>(v);
    ++r->pos;
  }
  return true;
}

bool ParseString(Reader* r) {
  if (Peek(r) != '"') return false;
  ++r->pos;
  std::u32string value;
  for (;;) {
    if (r->pos >= r->text.size()) return false;
    unsigned char c = static_cast<unsigned char>(r->text[r->pos++]);
    if (c == '"') break;
    if (c < 0x20 || c >= 0x80) return false;  // raw control, or not ASCII
    if (c != '\\') {
      value += c;
      continue;
    }
    char e = Peek(r);
    ++r->pos;
    const std::string simple = "\"\\/bfnrt";
    const std::u32string meant = U"\"\\/\b\f\n\r\t";
    if (simple.find(e) != std::string::npos && e != '\0') {
      value += meant[simple.find(e)];
      continue;
    }
    char32_t unit = 0;
    if (e != 'u' || !Hex4(r, &unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return false;  // lone low half
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      char32_t low = 0;
      if (!Literal(r, "\\u") || !Hex4(r, &low) || low < 0xDC00 || low > 0xDFFF)
        return false;
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    value += unit;
  }
  r->strings.push_back(value);
  return true;
}

// Items separated by ",", between open and close; members when object.
bool ParseSequence(Reader* r, char open, char close, bool object, int depth) {
  if (Peek(r) != open) return false;
  ++r->pos;
  SkipBlanks(r);
  if (Peek(r) == close) return ++r->pos, true;
  for (;;) {
    SkipBlanks(r);
    if (object) {
      if (!ParseString(r)) return false;
      SkipBlanks(r);
      if (Peek(r) != ':') return false;
      ++r->pos;
    }
    if (!ParseValue(r, depth + 1)) return false;
    SkipBlanks(r);
    if (Peek(r) == close) return ++r->pos, true;
    if (Peek(r) != ',') return false;
    ++r->pos;
  }
}

bool ParseValue(Reader* r, int depth) {
  if (depth > 16) return false;
  SkipBlanks(r);
  bool ok = false;
  switch (Peek(r)) {
    case '{':
      ok = ParseSequence(r, '{', '}', true, depth);
      break;
    case '[':
      ok = ParseSequence(r, '[', ']', false, depth);
      break;
    case '"':
      ok = ParseString(r);
      break;
    case 't':
      ok = Literal(r, "true");
      break;
    case 'f':
      ok = Literal(r, "false");
      break;
    case 'n':
      ok = Literal(r, "null");
      break;
    default:
      ok = ParseNumber(r);
  }
  SkipBlanks(r);
  return ok;
}

// The strings of document when it is one JSON value with nothing after it,
// on one line; fails the input otherwise.
std::vector<std::u32string> Read(const std::string& document) {
  FUZZ_CHECK(document.find('\n') == std::string::npos);
  Reader r{document, 0, {}};
  FUZZ_CHECK(ParseValue(&r, 0));
  FUZZ_CHECK(r.pos == document.size());
  return r.strings;
}

// bytes read as Latin-1: each byte the code point of its value.
std::u32string Latin1(const std::string& bytes) {
  std::u32string points;
  for (char c : bytes) points += static_cast<unsigned char>(c);
  return points;
}

std::string ReplyText(const std::uint8_t* data, std::size_t size) {
  std::string kept;
  for (std::size_t i = 0; i < size && kept.size() < 20; ++i) {
    kept += static_cast<char>(data[i]);
    if (data[i] == '\n') break;
  }
  return std::string(kept.c_str());  // the buffer is read as a text
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::u32string> strings = Read(JsonString(input));
  FUZZ_CHECK(strings.size() == 1 && strings[0] == Latin1(input));

  if (size < 4) return 0;
  const std::string fw = input.substr(0, 3);
  const int nPorts = static_cast<int>(static_cast<std::int8_t>(data[3]));
  std::uint64_t PS64 = 0;
  if (ParseStateReply(ReplyText(data + 4, size - 4), &PS64) != kStatusOK)
    return 0;

  const std::string hub = HubJson("ttyUSB0", nPorts, fw, PS64);
  strings = Read(hub);
  std::string hex;
  htos_PS64(PS64, &hex);
  const std::vector<std::u32string> want = {
      U"device",
      U"ttyUSB0",
      U"ports",
      U"firmware",
      Latin1(fw),
      U"on",
      U"off",
      U"hex",
      Latin1(hex),
      U"binary",
      Latin1(PortStateBits(PS64, nPorts))};
  FUZZ_CHECK(strings == want);

  // The scan's array of such objects.
  FUZZ_CHECK(Read(JsonArray({hub, hub})).size() == 2 * want.size());
  FUZZ_CHECK(JsonArray({}) == "[]");
  return 0;
}
