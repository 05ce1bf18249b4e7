// hubsim: runs a command in a private /dev whose /dev/ttyUSBn are virtual
// Managed USB Hub controllers on pseudo-terminals, so that end-to-end tests
// of nexli see only these hubs and never touch a real device.
//
// hubsim prints nothing on stdout (that belongs to the command) and writes to
// stderr only on errors or to greet an interactive shell.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hub.h"
#include "line.h"
#include "sandbox.h"

namespace hubsim {
namespace {

const char kUsage[] =
    "Usage: hubsim [global options] [--hub N [hub options]]... "
    "[-- COMMAND [ARGS...]]\n"
    "Runs COMMAND (default: an interactive shell) in a private /dev whose\n"
    "/dev/ttyUSBn are virtual Managed USB Hubs. Without --hub there is one\n"
    "hub on ttyUSB0; hub options before the first --hub apply to it.\n"
    "\n"
    "Global options:\n"
    "  --log FILE             append a line to FILE for every request "
    "received\n"
    "  --dump FILE            at exit, write each hub's final settings and "
    "states and the time the command ended to FILE\n"
    "  --no-hubs              start no hub at all\n"
    "  --watch-opens          note in the --dump file whether each hub's "
    "device was opened\n"
    "  --help                 print this help and exit\n"
    "\n"
    "Hub options (for the most recent --hub):\n"
    "  --hub N                start a hub on /dev/ttyUSBN (N from 0 to 255)\n"
    "  --ports N              port count, -9 to 99 (default 8)\n"
    "  --ports-text XX        exactly two raw characters for the port count\n"
    "  --fw TEXT              three-character firmware text (default 101)\n"
    "  --password TEXT        password, at most 8 bytes, blank-padded "
    "(default \"mora    \")\n"
    "  --states HEX           present states, up to 8 hex digits, low byte "
    "first (default 00000000)\n"
    "  --powerup HEX          power-up states, same form (default 00000000)\n"
    "  --state-file PATH      keep password and power-up states in PATH "
    "(read at start if present)\n"
    "  --identity TEXT        six-character identity (default TORVAN)\n"
    "  --not-tty              make /dev/ttyUSBN an empty regular file, no hub\n"
    "  --usb VVVV:PPPP        show the device in /sys as behind a USB serial "
    "bridge with\n"
    "                         these vendor and product IDs (4 hex digits "
    "each)\n"
    "  --serial TEXT          the bridge's serial number string (needs "
    "--usb)\n"
    "\n"
    "Fault options (for the most recent --hub; every request, or only CODE):\n"
    "  --fault-on CODE        apply this hub's faults only to requests with "
    "code CODE (e.g. GP)\n"
    "  --fault-nth N          apply this hub's faults only to the Nth request "
    "(of CODE, with --fault-on)\n"
    "  --silent               never answer (the request is not applied)\n"
    "  --late MS              answer MS milliseconds late\n"
    "  --partial N            send only the first N bytes of the reply\n"
    "  --overlong             pad the reply with X before its \\r\\n to 26 "
    "bytes\n"
    "  --e01                  answer E01 and apply nothing\n"
    "  --echo TEXT            answer SP/FP with G TEXT \\r\\n (request "
    "applied)\n"
    "  --garbage-states TEXT  answer GP with TEXT \\r\\n\n"
    "  --reply TEXT           send TEXT as the whole reply (request not "
    "applied)\n"
    "  --hangup N             send the first N bytes of the reply, then hang "
    "up for good\n"
    "  --trailing TEXT        send TEXT after every complete reply\n"
    "  --pace                 take the time a 9600 8N1 line takes\n"
    "  --latency MS           pass reply bytes on as a USB serial bridge "
    "does: in bursts,\n"
    "                         each MS ms after its first byte or once 62 "
    "have gathered\n"
    "                         (an FTDI bridge: 16 by default, 1 when "
    "lowered)\n"
    "  --stop-reading N       answer N requests, then take no more bytes, "
    "like a full buffer; hang up 2 s later\n"
    "\n"
    "TEXT and CODE values understand \\r \\n \\t \\\\ and \\xHH.\n"
    "Exit status: that of COMMAND (128+N if killed by signal N); 2 for bad\n"
    "options; 77 when no private /dev can be made; 127 when COMMAND cannot "
    "run.\n";

struct Options {
  std::string log_file;
  std::string dump_file;
  bool no_hubs = false;
  bool watch_opens = false;
  std::vector<HubSettings> hubs;
  std::vector<std::string> command;  // empty: interactive shell
};

// Prints "hubsim: message" on stderr and exits with status 2.
[[noreturn]] void BadUsage(const std::string& message) {
  fprintf(stderr, "hubsim: %s\n", message.c_str());
  exit(2);
}

// Parses a whole decimal integer within [low, high] or exits with status 2.
long ParseInt(const std::string& option, const std::string& text, long low,
              long high) {
  char* end = nullptr;
  errno = 0;
  long value = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high)
    BadUsage(option + " needs a whole number from " + std::to_string(low) +
             " to " + std::to_string(high) + ", not '" + text + "'");
  return value;
}

// Decodes an escaped TEXT value that must be exactly size bytes long.
std::string FixedText(const std::string& option, const std::string& text,
                      size_t size) {
  std::string value = DecodeEscapes(text);
  if (value.size() != size)
    BadUsage(option + " needs exactly " + std::to_string(size) +
             " characters, not '" + text + "'");
  return value;
}

// Parses the command line (see kUsage) or exits: 0 after --help, 2 on error.
Options ParseOptions(int argc, char** argv) {
  Options opts;
  bool implicit_hub = false;  // hub options came before any --hub
  auto hub = [&]() -> HubSettings& {
    if (opts.hubs.empty()) {
      opts.hubs.emplace_back();
      implicit_hub = true;
    }
    return opts.hubs.back();
  };
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      opts.command.assign(argv + i + 1, argv + argc);
      break;
    }
    if (arg.compare(0, 2, "--") != 0)
      BadUsage("unexpected argument '" + arg + "' (the command goes after --)");
    std::string name = arg;
    std::string inline_value;
    bool has_inline = false;
    size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      name = arg.substr(0, eq);
      inline_value = arg.substr(eq + 1);
      has_inline = true;
    }
    auto value = [&]() -> std::string {
      if (has_inline) return inline_value;
      if (i + 1 >= argc || strcmp(argv[i + 1], "--") == 0)
        BadUsage(name + " needs a value");
      return argv[++i];
    };
    auto flag = [&]() {
      if (has_inline) BadUsage(name + " takes no value");
    };

    if (name == "--help") {
      flag();
      fputs(kUsage, stdout);
      exit(0);
    } else if (name == "--log") {
      opts.log_file = value();
    } else if (name == "--dump") {
      opts.dump_file = value();
    } else if (name == "--no-hubs") {
      flag();
      opts.no_hubs = true;
    } else if (name == "--watch-opens") {
      flag();
      opts.watch_opens = true;
    } else if (name == "--hub") {
      int number = static_cast<int>(ParseInt(name, value(), 0, 255));
      for (const HubSettings& other : opts.hubs) {
        if (other.number == number)
          BadUsage("ttyUSB" + std::to_string(number) + " is given twice");
      }
      opts.hubs.emplace_back();
      opts.hubs.back().number = number;
    } else if (name == "--ports") {
      char field[8];
      snprintf(field, sizeof field, "%2ld", ParseInt(name, value(), -9, 99));
      hub().count_field = field;
    } else if (name == "--ports-text") {
      std::string text = value();
      if (text.size() != 2)
        BadUsage("--ports-text needs exactly 2 characters, not '" + text + "'");
      hub().count_field = text;
    } else if (name == "--fw") {
      hub().firmware = FixedText(name, value(), 3);
    } else if (name == "--password") {
      std::string text = value();
      std::string password = DecodeEscapes(text);
      if (password.size() > 8)
        BadUsage("--password takes at most 8 bytes, not '" + text + "'");
      hub().password = password + std::string(8 - password.size(), ' ');
    } else if (name == "--states" || name == "--powerup") {
      std::string text = value();
      uint32_t bits;
      if (!ParseHexText(text, &bits))
        BadUsage(name + " needs 1 to 8 hex digits, not '" + text + "'");
      if (name == "--states") {
        hub().present = bits;
        hub().states_given = true;
      } else {
        hub().powerup = bits;
      }
    } else if (name == "--state-file") {
      hub().state_file = value();
    } else if (name == "--identity") {
      hub().identity = FixedText(name, value(), 6);
    } else if (name == "--not-tty") {
      flag();
      hub().not_tty = true;
    } else if (name == "--usb") {
      std::string text = value();
      uint32_t ignored;
      if (text.size() != 9 || text[4] != ':' ||
          !ParseHexText(text.substr(0, 4), &ignored) ||
          !ParseHexText(text.substr(5), &ignored))
        BadUsage("--usb needs VVVV:PPPP, 4 hex digits each, not '" + text +
                 "'");
      for (char& c : text) c = static_cast<char>(tolower(c));
      hub().usb_vendor = text.substr(0, 4);
      hub().usb_product = text.substr(5);
    } else if (name == "--serial") {
      hub().usb_serial = DecodeEscapes(value());
    } else if (name == "--fault-on") {
      hub().faults.only_code = FixedText(name, value(), 2);
    } else if (name == "--fault-nth") {
      hub().faults.only_nth = ParseInt(name, value(), 1, INT_MAX);
    } else if (name == "--silent") {
      flag();
      hub().faults.silent = true;
    } else if (name == "--late") {
      hub().faults.late_ms = ParseInt(name, value(), 0, 3600000);
    } else if (name == "--partial") {
      hub().faults.partial = ParseInt(name, value(), 0, INT_MAX);
    } else if (name == "--overlong") {
      flag();
      hub().faults.overlong = true;
    } else if (name == "--e01") {
      flag();
      hub().faults.e01 = true;
    } else if (name == "--echo") {
      hub().faults.echo = DecodeEscapes(value());
    } else if (name == "--garbage-states") {
      hub().faults.garbage_states = DecodeEscapes(value());
    } else if (name == "--reply") {
      hub().faults.reply = DecodeEscapes(value());
    } else if (name == "--hangup") {
      hub().faults.hangup = ParseInt(name, value(), 0, INT_MAX);
    } else if (name == "--trailing") {
      hub().faults.trailing = DecodeEscapes(value());
    } else if (name == "--pace") {
      flag();
      hub().faults.pace = true;
    } else if (name == "--latency") {
      hub().faults.latency_ms = ParseInt(name, value(), 1, 10000);
    } else if (name == "--stop-reading") {
      hub().faults.stop_reading = ParseInt(name, value(), 0, INT_MAX);
    } else {
      BadUsage("unknown option " + name + " (see --help)");
    }
  }
  if (opts.no_hubs && !opts.hubs.empty())
    BadUsage(implicit_hub ? "--no-hubs cannot take hub options"
                          : "--no-hubs cannot be used with --hub");
  if (opts.hubs.empty() && !opts.no_hubs) opts.hubs.emplace_back();
  for (const HubSettings& s : opts.hubs) {
    if (s.usb_serial && s.usb_vendor.empty())
      BadUsage("--serial of ttyUSB" + std::to_string(s.number) +
               " needs --usb");
  }
  return opts;
}

// The port count field without its blank fill, e.g. "8" for " 8".
std::string PortsText(const HubSettings& s) {
  size_t first = s.count_field.find_first_not_of(' ');
  return first == std::string::npos ? s.count_field
                                    : s.count_field.substr(first);
}

// The greeting printed on stderr before an interactive shell.
std::string Banner(const Options& opts) {
  std::string text = "hubsim: virtual hubs:";
  if (opts.hubs.empty()) text += " none";
  for (size_t i = 0; i < opts.hubs.size(); ++i) {
    const HubSettings& s = opts.hubs[i];
    text += i == 0 ? " " : ", ";
    text += "ttyUSB" + std::to_string(s.number);
    if (s.not_tty)
      text += " (a plain file)";
    else
      text += " (" + PortsText(s) + " ports, firmware " + s.firmware +
              ", password \"" + s.password + "\"" +
              (s.usb_vendor.empty()
                   ? ""
                   : ", USB " + s.usb_vendor + ":" + s.usb_product) +
              ")";
  }
  return text + ". Type exit to leave.\n";
}

// Writes the --dump file: one line per hub on a pty, by tty number, then
// "command exited=<unix seconds>.<microseconds>", when the command ended.
// opened, when not empty, tells for each line whether its device was opened.
void WriteDump(const std::string& path,
               const std::vector<std::unique_ptr<Line>>& lines,
               const std::vector<bool>& opened, const struct timespec& exited) {
  std::vector<size_t> order;
  for (size_t i = 0; i < lines.size(); ++i) order.push_back(i);
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return lines[a]->hub().settings().number <
           lines[b]->hub().settings().number;
  });
  std::string text;
  for (size_t i : order) {
    const HubSettings& s = lines[i]->hub().settings();
    text += "ttyUSB" + std::to_string(s.number) + " ports=" + PortsText(s) +
            " fw=" + s.firmware + " password=\"" + s.password +
            "\" present=" + HexText(s.present) +
            " powerup=" + HexText(s.powerup);
    if (!opened.empty()) text += opened[i] ? " opened=yes" : " opened=no";
    text += "\n";
  }
  char when[64];
  snprintf(when, sizeof when, "command exited=%lld.%06ld\n",
           static_cast<long long>(exited.tv_sec), exited.tv_nsec / 1000);
  text += when;
  FILE* file = fopen(path.c_str(), "we");
  if (file == nullptr ||
      fwrite(text.data(), 1, text.size(), file) != text.size() ||
      fclose(file) != 0) {
    fprintf(stderr, "hubsim: cannot write %s: %s\n", path.c_str(),
            strerror(errno));
  }
}

// Reads the open events waiting on watch_fd (from inotify_add_watch calls
// whose descriptors are watches, one per line) and marks the lines whose
// device was opened in *opened; all of them when events were lost.
void NoteOpens(int watch_fd, const std::vector<int>& watches,
               std::vector<bool>* opened) {
  alignas(struct inotify_event) char buf[4096];
  for (;;) {
    ssize_t n = read(watch_fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (ssize_t at = 0; at < n;) {
      const auto* event =
          reinterpret_cast<const struct inotify_event*>(buf + at);
      for (size_t i = 0; i < watches.size(); ++i) {
        if ((event->mask & IN_Q_OVERFLOW) != 0 || event->wd == watches[i])
          (*opened)[i] = true;
      }
      at += static_cast<ssize_t>(sizeof *event + event->len);
    }
  }
}

// Signal plumbing: handlers only note the signal and wake the poll loop.
int g_wake_write = -1;
volatile sig_atomic_t g_forward_signal = 0;

// SIGCHLD wakes the loop; SIGTERM and SIGHUP are also passed on to the
// command, whose end then ends hubsim.
void OnSignal(int sig) {
  int saved = errno;
  if (sig != SIGCHLD) g_forward_signal = sig;
  char byte = 0;
  if (write(g_wake_write, &byte, 1) < 0) {
    // The pipe is full, so the loop is awake anyway.
  }
  errno = saved;
}

// Runs command in the child process; never returns.
[[noreturn]] void RunChild(const std::vector<std::string>& command,
                           const std::string& cwd,
                           const struct sigaction& old_int,
                           const struct sigaction& old_quit) {
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGQUIT, &old_quit, nullptr);
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  signal(SIGCHLD, SIG_DFL);
  if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
    // Stay where we are; the directory is the same one unless it was in /dev.
  }
  std::vector<char*> args;
  for (const std::string& arg : command)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  fprintf(stderr, "hubsim: cannot run %s: %s\n", args[0], strerror(errno));
  _exit(127);
}

// Sets up the hubs and the private /dev, runs the command and serves the
// hubs until it ends. Returns hubsim's exit status.
int Main(int argc, char** argv) {
  Options opts = ParseOptions(argc, argv);

  std::vector<Hub> hubs(opts.hubs.size());
  for (size_t i = 0; i < opts.hubs.size(); ++i) {
    std::string why;
    if (!hubs[i].Init(opts.hubs[i], &why)) BadUsage("bad state file " + why);
  }
  int log_fd = -1;
  if (!opts.log_file.empty()) {
    log_fd = open(opts.log_file.c_str(),
                  O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (log_fd < 0) {
      fprintf(stderr, "hubsim: cannot open %s: %s\n", opts.log_file.c_str(),
              strerror(errno));
      return 1;
    }
  }
  std::string cwd;
  if (char* dir = getcwd(nullptr, 0)) {
    cwd = dir;
    free(dir);
  }

  // With --watch-opens, an inotify watch on each hub's pty tells whether the
  // command opened it (even without sending a byte).
  int watch_fd = -1;
  std::vector<int> watches;
  if (opts.watch_opens) {
    watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_fd < 0) {
      fprintf(stderr, "hubsim: inotify: %s\n", strerror(errno));
      return 1;
    }
  }

  std::string why;
  std::vector<std::unique_ptr<Line>> lines;
  std::vector<std::string> slave_paths;  // one per line
  bool ok = MakePrivateDev(&why);
  int usb_port = 0;  // the USB device of the last --usb is 1-usb_port
  for (size_t i = 0; ok && i < hubs.size(); ++i) {
    const HubSettings& s = hubs[i].settings();
    if (!s.usb_vendor.empty())
      ok = MakeUsbDevice(s.number, ++usb_port, s.usb_vendor, s.usb_product,
                         s.usb_serial ? &*s.usb_serial : nullptr, &why);
    if (ok && s.not_tty) {
      ok = MakePlainTtyUsb(s.number, &why);
      continue;
    }
    Pty pty;
    ok = ok && OpenPty(&pty, &why);
    if (ok) {
      lines.push_back(
          std::make_unique<Line>(hubs[i], pty.master, pty.slave, log_fd));
      ok = LinkTtyUsb(s.number, pty.slave_path, &why);
    }
    if (ok) slave_paths.push_back(pty.slave_path);
  }
  if (!ok) {
    fprintf(stderr, "hubsim: cannot make a private /dev: %s\n", why.c_str());
    return 77;
  }
  for (size_t i = 0; watch_fd >= 0 && i < slave_paths.size(); ++i) {
    watches.push_back(
        inotify_add_watch(watch_fd, slave_paths[i].c_str(), IN_OPEN));
    if (watches.back() < 0) {
      fprintf(stderr, "hubsim: cannot watch %s: %s\n", slave_paths[i].c_str(),
              strerror(errno));
      return 1;
    }
  }
  std::vector<bool> opened(watches.size(), false);

  if (opts.command.empty()) {
    const char* shell = getenv("SHELL");
    opts.command.push_back(shell != nullptr && *shell ? shell : "/bin/sh");
    fputs(Banner(opts).c_str(), stderr);
  }

  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    fprintf(stderr, "hubsim: pipe: %s\n", strerror(errno));
    return 1;
  }
  g_wake_write = wake[1];
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGCHLD, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
  // Like system(): a keyboard interrupt is for the command, not for us.
  struct sigaction ignore, old_int, old_quit;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGINT, &ignore, &old_int);
  sigaction(SIGQUIT, &ignore, &old_quit);

  fflush(stderr);
  pid_t child = fork();
  if (child < 0) {
    fprintf(stderr, "hubsim: fork: %s\n", strerror(errno));
    return 1;
  }
  if (child == 0) RunChild(opts.command, cwd, old_int, old_quit);

  int status = 0;
  struct timespec exited = {0, 0};
  for (;;) {
    int64_t now = NowNs();
    std::vector<struct pollfd> fds;
    fds.push_back({wake[0], POLLIN, 0});
    int64_t deadline = -1;
    for (const auto& line : lines) {
      fds.push_back({line->fd(), line->PollEvents(now), 0});
      int64_t next = line->NextDeadline(now);
      if (next >= 0 && (deadline < 0 || next < deadline)) deadline = next;
    }
    fds.push_back({watch_fd, POLLIN, 0});  // ignored when -1
    struct timespec timeout;
    if (deadline >= 0) {
      int64_t wait = std::max<int64_t>(0, deadline - now);
      timeout.tv_sec = wait / 1000000000LL;
      timeout.tv_nsec = wait % 1000000000LL;
    }
    if (ppoll(fds.data(), fds.size(), deadline >= 0 ? &timeout : nullptr,
              nullptr) < 0 &&
        errno != EINTR) {
      fprintf(stderr, "hubsim: poll: %s\n", strerror(errno));
      kill(child, SIGKILL);
    }
    now = NowNs();
    if (fds[0].revents != 0) {
      char drain[64];
      while (read(wake[0], drain, sizeof drain) > 0) {
      }
    }
    if (g_forward_signal != 0) {
      kill(child, g_forward_signal);
      g_forward_signal = 0;
    }
    if (waitpid(child, &status, WNOHANG) == child) {
      clock_gettime(CLOCK_REALTIME, &exited);
      break;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
      if (fds[i + 1].fd >= 0 && fds[i + 1].revents != 0) lines[i]->Receive(now);
    }
    for (const auto& line : lines) line->Serve(now);
    if (fds.back().revents != 0) NoteOpens(watch_fd, watches, &opened);
  }

  // Requests the command sent just before it ended still count.
  int64_t now = NowNs();
  for (const auto& line : lines) {
    line->Receive(now);
    line->LogLeftover();
  }
  if (watch_fd >= 0) NoteOpens(watch_fd, watches, &opened);
  if (!opts.dump_file.empty()) WriteDump(opts.dump_file, lines, opened, exited);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

}  // namespace
}  // namespace hubsim

int main(int argc, char** argv) { return hubsim::Main(argc, argv); }
