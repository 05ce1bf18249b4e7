// The serial link against pseudo-terminals: line settings, the exchange and
// every status it reports.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "serial_link.h"

// Every settings record the code under test applies, captured on its way to
// the terminal (the test binary links with --wrap=tcsetattr): a pseudo-terminal
// itself forces 8 data bits and no parity, so only the record shows them.
static struct termios last_applied;
extern "C" int __real_tcsetattr(int fd, int when, const struct termios* tio);
extern "C" int __wrap_tcsetattr(int fd, int when, const struct termios* tio) {
  last_applied = *tio;
  return __real_tcsetattr(fd, when, tio);
}

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int OpenDescriptorCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count;
}

// A pseudo-terminal whose master plays the hub: it waits for a request ending
// in "\r", then writes the reply and, if asked, hangs up.
struct FakeHub {
  int master = -1;
  int slave = -1;  // kept open so the master never reads EIO between opens
  std::string path;
  std::string request;
  std::thread responder;

  FakeHub() {
    char name[128];
    EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    path = name;
  }
  ~FakeHub() {
    if (responder.joinable()) responder.join();
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }

  void Answer(const std::string& reply, bool hang_up = false) {
    responder = std::thread([this, reply, hang_up] {
      char byte = 0;
      while (read(master, &byte, 1) == 1) {
        request += byte;
        if (byte == '\r') break;
      }
      if (!reply.empty()) {
        EXPECT_EQ(write(master, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
      }
      if (hang_up) {
        // Let the bytes reach the other side, then close the master.
        tcdrain(master);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        close(master);
        master = -1;
      }
    });
  }

  // Bytes waiting unread on the slave side.
  std::string Unread() {
    struct termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::string unread;
    struct pollfd p = {slave, POLLIN, 0};
    char byte = 0;
    while (poll(&p, 1, 200) == 1 && read(slave, &byte, 1) == 1) unread += byte;
    return unread;
  }
};

struct ExchangeCase {
  const char* name;
  std::string reply;
  std::string status;
  std::string stored;
  std::string left_unread;
};

TEST(SendCommand, RepliesAndTheirStatus) {
  const ExchangeCase cases[] = {
      {"complete", "G\n", "OK", "G\n", ""},
      {"carriage return kept", "TORVAN     8101\r\n", "OK", "TORVAN     8101\r\n", ""},
      {"exactly 20 bytes", "0123456789012345678\n", "OK", "0123456789012345678\n", ""},
      {"bytes after the line feed stay unread", "A6010000\r\nXYZ", "OK", "A6010000\r\n", "XYZ"},
      {"20 bytes without a line feed", "01234567890123456789ABCDE\n", "Error Parameters",
       "01234567890123456789", "ABCDE\n"},
  };
  for (const ExchangeCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHub hub;
    hub.Answer(c.reply);
    char buf[kReplyBufferSize];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(SendCommand(hub.path, "?Q\r", buf, 100), c.status);
    EXPECT_EQ(std::string(buf), c.stored);
    hub.responder.join();
    EXPECT_EQ(hub.request, "?Q\r");
    EXPECT_EQ(hub.Unread(), c.left_unread);
  }
}

TEST(SendCommand, HangUpEndsTheReplyAtOnce) {
  FakeHub hub;
  hub.Answer("TORV", /*hang_up=*/true);
  char buf[kReplyBufferSize];
  Clock::time_point start = Clock::now();
  EXPECT_EQ(SendCommand(hub.path, "GP\r", buf, 100), "Read Timeout");
  EXPECT_LT(SecondsSince(start), 2.0);
  EXPECT_EQ(std::string(buf), "TORV");
}

TEST(SendCommand, PartialReplyThenSilenceTimesOut) {
  FakeHub hub;
  hub.Answer("A6010");
  char buf[kReplyBufferSize];
  Clock::time_point start = Clock::now();
  // timeout_ms is not consulted: the wait is 10.1 s per byte whatever it is.
  EXPECT_EQ(SendCommand(hub.path, "GP\r", buf, 1), "Read Timeout");
  double elapsed = SecondsSince(start);
  EXPECT_GE(elapsed, 10.1);
  EXPECT_LT(elapsed, 11.0);
  EXPECT_EQ(std::string(buf), "A6010");
}

TEST(SendCommand, DevicesThatCannotBeUsed) {
  char buf[kReplyBufferSize];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(SendCommand("/nonexistent/ttyUSB0", "?Q\r", buf, 100), "Open Port Error!");
  EXPECT_EQ(std::string(buf), "");

  // A plain file opens but cannot be configured; its descriptor is closed.
  char path[] = "/tmp/nexli-not-a-tty-XXXXXX";
  int file = mkstemp(path);
  ASSERT_GE(file, 0);
  close(file);
  int before = OpenDescriptorCount();
  std::memset(buf, '#', sizeof buf);
#if NEXLI_REVISION == 103
  EXPECT_EQ(SendCommand(path, "?Q\r", buf, 100), "Set Port Option Error!");
#else
  // Revision 1.02 takes only terminals at opening.
  EXPECT_EQ(SendCommand(path, "?Q\r", buf, 100), "Open Port Error!");
#endif
  EXPECT_EQ(std::string(buf), "");
  EXPECT_EQ(OpenDescriptorCount(), before);
  unlink(path);
}

TEST(SerialPort, LineSettingsReadBack) {
  FakeHub hub;
  int fd = openPort(hub.path);
  ASSERT_GE(fd, 0);
#if NEXLI_REVISION == 103
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
#else
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
#endif
  ASSERT_EQ(set_opt(fd, 9600, 8, 'N', 1), 0);
  struct termios tio;
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_NE(tio.c_cflag & CREAD, 0u);
  EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
  EXPECT_EQ(tio.c_cc[VMIN], 0);
  EXPECT_EQ(tio.c_cc[VTIME], 0);
  close(fd);
}

TEST(SerialPort, SettingsTable) {
  const struct {
    int speed, bits;
    char parity;
    int stop;
    speed_t want_speed;
    tcflag_t want_size, want_parity, want_stop;
    tcflag_t want_input;
  } cases[] = {
      {9600, 8, 'N', 1, B9600, CS8, 0, 0, 0},
      {19200, 8, 'N', 1, B9600, CS8, 0, 0, 0},
      {0, 8, 'N', 1, B9600, CS8, 0, 0, 0},
      {2400, 7, 'O', 2, B2400, CS7, PARENB | PARODD, CSTOPB, INPCK | ISTRIP},
      {4800, 8, 'e', 1, B4800, CS8, PARENB, 0, INPCK | ISTRIP},
      {115200, 6, 'x', 0, B115200, CS5, 0, 0, 0},
      {460800, 8, 'n', 3, B460800, CS8, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.speed);
    FakeHub hub;
    int fd = openPort(hub.path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(set_opt(fd, c.speed, c.bits, c.parity, c.stop), 0);
    struct termios tio = last_applied;
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_lflag, 0u);
    EXPECT_EQ(tio.c_oflag, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&tio), c.want_speed);
    EXPECT_EQ(cfgetispeed(&tio), c.want_speed);
    EXPECT_EQ(tio.c_cflag & CSIZE, c.want_size);
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD), c.want_parity);
    EXPECT_EQ(tio.c_cflag & CSTOPB, c.want_stop);
    EXPECT_EQ(tio.c_iflag & (INPCK | ISTRIP), c.want_input);
    close(fd);
  }
}

TEST(SerialPort, SetOptOnAPlainFileFails) {
  char path[] = "/tmp/nexli-plain-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(set_opt(fd, 9600, 8, 'N', 1), -1);
  EXPECT_NE(fcntl(fd, F_GETFD), -1);  // the descriptor is left open
  close(fd);
  unlink(path);
}

// A write cut short counts as nothing, and what the line still held of it is
// discarded, never to reach the hub later: the hub's side gets no more than it
// had when the send gave up.
TEST(SerialPort, ShortWriteCountsAsNothingAndLeavesNothingQueued) {
  FakeHub hub;
  int fd = openPort(hub.path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(set_opt(fd, 9600, 8, 'N', 1), 0);
  // Nobody reads the master: a large write can only be partly taken.
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  std::vector<char> big(1 << 20, 'x');
  EXPECT_EQ(UART_Send(fd, big.data(), static_cast<int>(big.size())), 0);
  int held = -1;
  ASSERT_EQ(ioctl(hub.master, FIONREAD, &held), 0);
  int arrived = 0;
  char chunk[4096];
  struct pollfd p = {hub.master, POLLIN, 0};
  while (poll(&p, 1, 200) == 1) {
    ssize_t got = read(hub.master, chunk, sizeof chunk);
    if (got <= 0) break;
    arrived += static_cast<int>(got);
  }
  EXPECT_EQ(arrived, held);
  close(fd);
}

TEST(SerialPort, DescriptorsBeyondTheSelectSetAreRefused) {
  struct rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_max <= FD_SETSIZE + 1) GTEST_SKIP() << "descriptor limit too low";
  struct rlimit raised = limit;
  raised.rlim_cur = FD_SETSIZE + 16;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

  FakeHub hub;
  // Occupy every descriptor below FD_SETSIZE.
  std::vector<int> filler;
  int null = open("/dev/null", O_RDONLY);
  for (int fd = 0; fd < FD_SETSIZE; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && dup2(null, fd) == fd) filler.push_back(fd);
  int before = OpenDescriptorCount();
  EXPECT_EQ(openPort(hub.path), -1);
  EXPECT_EQ(OpenDescriptorCount(), before);
  for (int fd : filler) close(fd);
  close(null);
  setrlimit(RLIMIT_NOFILE, &limit);
}

// UART_Recv on a silent device: 0 after 10 s plus timout_ms, never earlier.
void ExpectSilentWait(int timout_ms, double seconds) {
  FakeHub hub;
  int fd = openPort(hub.path);
  ASSERT_GE(fd, 0);
  char byte = 0;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(UART_Recv(fd, &byte, 1, timout_ms), 0);
  double elapsed = SecondsSince(start);
  EXPECT_GE(elapsed, seconds);
  EXPECT_LT(elapsed, seconds + 0.5);
  close(fd);
}

TEST(SerialPort, SilentDeviceWaitsTenSecondsAndAHundredMilliseconds) {
  ExpectSilentWait(100, 10.1);
}

TEST(SerialPort, LongExtraWaitCarriesIntoSeconds) { ExpectSilentWait(1500, 11.5); }

TEST(HubProtocol, RequestLayouts) {
  EXPECT_EQ(SetStateRequest("SP", "mora    ", "0C000000"), "SPmora    0C000000\r");
  EXPECT_EQ(ChangePasswordRequest("mora    ", "abc     "), "CPmora    abc     \r");
  EXPECT_EQ(PasswordRequest("WP", "abc     "), "WPabc     \r");
  EXPECT_EQ(SetStateRequest("FP", "12345678", "80FFFFFF").size(), 19u);
  EXPECT_EQ(PasswordRequest("RH", "mora    ").size(), 11u);
  EXPECT_EQ(ReplyLineLength("TORVAN     8101\r\n"), 16);
  EXPECT_EQ(ReplyLineLength("ABC"), 3);
}

}  // namespace
