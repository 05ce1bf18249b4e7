#include "hub.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace hubsim {
namespace {

const char kFactoryPassword[] = "mora    ";
const char kErrPassword[] = "E01\r\n";
const char kErrRequest[] = "E02\r\n";
const size_t kOverlongSize = 26;

// The value of hex digit c (either case), or -1 if c is not one.
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a whole file into *text. Returns false with errno set on failure.
bool ReadFile(const std::string& path, std::string* text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  text->clear();
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      close(fd);
      errno = err;
      return false;
    }
    if (n == 0) break;
    text->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

// Writes all of text to fd. Returns false with errno set on failure.
bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string HexText(uint32_t bits) {
  char buf[9];
  snprintf(buf, sizeof buf, "%02X%02X%02X%02X", bits & 0xFF, (bits >> 8) & 0xFF,
           (bits >> 16) & 0xFF, (bits >> 24) & 0xFF);
  return buf;
}

bool ParseHexText(const std::string& text, uint32_t* bits) {
  if (text.empty() || text.size() > 8) return false;
  std::string digits = text + std::string(8 - text.size(), '0');
  uint32_t value = 0;
  for (size_t byte = 0; byte < 4; ++byte) {
    int hi = HexDigit(digits[2 * byte]);
    int lo = HexDigit(digits[2 * byte + 1]);
    if (hi < 0 || lo < 0) return false;
    value |= static_cast<uint32_t>(hi * 16 + lo) << (8 * byte);
  }
  *bits = value;
  return true;
}

std::string DecodeEscapes(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\' || i + 1 >= text.size()) {
      out += c;
      continue;
    }
    char next = text[i + 1];
    if (next == 'r' || next == 'n' || next == 't' || next == '\\') {
      out += next == 'r'   ? '\r'
             : next == 'n' ? '\n'
             : next == 't' ? '\t'
                           : '\\';
      ++i;
    } else if (next == 'x' && i + 3 < text.size() &&
               HexDigit(text[i + 2]) >= 0 && HexDigit(text[i + 3]) >= 0) {
      out +=
          static_cast<char>(HexDigit(text[i + 2]) * 16 + HexDigit(text[i + 3]));
      i += 3;
    } else {
      out += c;
    }
  }
  return out;
}

std::string EscapeForLog(const std::string& bytes) {
  std::string out;
  for (char ch : bytes) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c >= 0x7F) {
      char buf[5];
      snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out;
}

bool Hub::Init(const HubSettings& settings, std::string* why) {
  s_ = settings;
  if (s_.state_file.empty()) return true;
  std::string text;
  if (!ReadFile(s_.state_file, &text)) {
    if (errno == ENOENT) return true;  // first run: command line values hold
    *why = s_.state_file + ": " + strerror(errno);
    return false;
  }
  std::optional<std::string> password;
  std::optional<uint32_t> powerup;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    size_t eq = line.find('=');
    std::string key = line.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
    if (key == "password_hex") {
      if (value.size() != 16) continue;
      std::string bytes;
      for (size_t i = 0; i < 16; i += 2) {
        int hi = HexDigit(value[i]), lo = HexDigit(value[i + 1]);
        if (hi < 0 || lo < 0) break;
        bytes += static_cast<char>(hi * 16 + lo);
      }
      if (bytes.size() == 8) password = bytes;
    } else if (key == "powerup") {
      uint32_t bits;
      if (value.size() == 8 && ParseHexText(value, &bits)) powerup = bits;
    }
  }
  if (!password || !powerup) {
    *why = s_.state_file +
           ": needs lines password_hex=<16 hex digits> and powerup=<8 hex "
           "digits>";
    return false;
  }
  s_.password = *password;
  s_.powerup = *powerup;
  if (!s_.states_given) s_.present = s_.powerup;
  return true;
}

Answer Hub::Handle(const std::string& request) {
  const Faults& f = s_.faults;
  std::string code = request.substr(0, 2);
  Answer answer;
  bool concerned = f.only_code.empty() || code == f.only_code;
  if (concerned) ++fault_requests_;
  if (!concerned || (f.only_nth > 0 && fault_requests_ != f.only_nth)) {
    answer.bytes = NormalReply(request);
    return answer;
  }
  if (f.silent) return answer;
  if (f.reply) {
    answer.bytes = *f.reply;
  } else if (f.e01) {
    answer.bytes = kErrPassword;
  } else {
    answer.bytes = NormalReply(request);
    if (f.echo && (code == "SP" || code == "FP"))
      answer.bytes = "G" + *f.echo + "\r\n";
    if (f.garbage_states && code == "GP")
      answer.bytes = *f.garbage_states + "\r\n";
  }
  std::string& bytes = answer.bytes;
  if (f.overlong && bytes.size() < kOverlongSize) {
    size_t at = bytes.size();
    if (at >= 2 && bytes.compare(at - 2, 2, "\r\n") == 0) at -= 2;
    bytes.insert(at, kOverlongSize - bytes.size(), 'X');
  }
  // --partial and --hangup both cut the reply; a cut reply gets no trailer.
  long keep = f.partial;
  if (f.hangup >= 0 && (keep < 0 || f.hangup < keep)) keep = f.hangup;
  if (keep >= 0 && static_cast<size_t>(keep) < bytes.size())
    bytes.resize(static_cast<size_t>(keep));
  else
    bytes += f.trailing;
  answer.hang_up = f.hangup >= 0;
  answer.delay_ms = f.late_ms;
  answer.paced = f.pace;
  return answer;
}

std::string Hub::NormalReply(const std::string& request) {
  const size_t n = request.size();
  const std::string code = request.substr(0, 2);
  auto password_ok = [&](size_t at) {
    return request.compare(at, 8, s_.password) == 0;
  };
  if (code == "?Q") {
    if (n != 3) return kErrRequest;
    return s_.identity + "    " + s_.count_field + s_.firmware + "\r\n";
  }
  if (code == "GP") {
    if (n != 3) return kErrRequest;
    return HexText(s_.present) + "\r\n";
  }
  if (code == "SP" || code == "FP") {
    if (n != 19) return kErrRequest;
    if (!password_ok(2)) return kErrPassword;
    std::string field = request.substr(10, 8);
    uint32_t bits;
    if (!ParseHexText(field, &bits)) return kErrRequest;
    s_.present = bits;
    if (code == "FP") {
      s_.powerup = bits;
      SaveStateFile();
    }
    return "G" + HexText(bits) + "\r\n";
  }
  if (code == "CP") {
    if (n != 19) return kErrRequest;
    if (!password_ok(2)) return kErrPassword;
    s_.password = request.substr(10, 8);
    SaveStateFile();
    return "G\r\n";
  }
  if (code == "WP" || code == "RD" || code == "RH") {
    if (n != 11) return kErrRequest;
    if (!password_ok(2)) return kErrPassword;
    if (code == "WP") {
      s_.powerup = s_.present;
      SaveStateFile();
    } else if (code == "RD") {
      s_.password = kFactoryPassword;
      s_.powerup = 0xFFFFFFFFu;
      s_.present = 0xFFFFFFFFu;
      SaveStateFile();
    } else {
      s_.present = s_.powerup;
    }
    return "G\r\n";
  }
  return kErrRequest;
}

void Hub::SaveStateFile() const {
  if (s_.state_file.empty()) return;
  std::string text = "password_hex=";
  for (char c : s_.password) {
    char buf[3];
    snprintf(buf, sizeof buf, "%02X", static_cast<unsigned char>(c));
    text += buf;
  }
  text += "\npowerup=" + HexText(s_.powerup) + "\n";
  std::string temp = s_.state_file + ".tmp";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  bool ok = fd >= 0 && WriteAll(fd, text);
  int err = errno;
  if (fd >= 0 && close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && rename(temp.c_str(), s_.state_file.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    if (fd >= 0) unlink(temp.c_str());
    fprintf(stderr, "hubsim: cannot write state file %s: %s\n",
            s_.state_file.c_str(), strerror(err));
  }
}

}  // namespace hubsim
