#include "serial_link.h"

#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exit_status.h"
#include "revision.h"

// ---- Reporting ------------------------------------------------------------

void PrintLine(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

#ifdef NEXLI_FUZZ
// The fuzz targets define this to end one input instead of the process.
[[noreturn]] void FuzzEndProcess(int outcome);
#endif

void EndProcess(int outcome) {
  std::fflush(stdout);
#ifdef NEXLI_FUZZ
  FuzzEndProcess(outcome);
#endif
  std::exit(ExitStatus(outcome));
}

void RetError(std::string ret) {
  PrintLine(ret);
  EndProcess(kExitFailed);
}

void RetUsageError(std::string ret) {
  PrintLine(ret);
  EndProcess(kExitRejected);
}

// ---- Serial port ----------------------------------------------------------

int openPort(const std::string& comPortName) {
  int fd = open(comPortName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  // A descriptor outside the select set size could never be waited on.
  if (fd >= FD_SETSIZE) {
    close(fd);
    return -1;
  }
#if NEXLI_BLOCKING_OPEN
  // Clear the status flags, O_NONBLOCK among them, and take only terminals.
  if (fcntl(fd, F_SETFL, 0) < 0 || !isatty(fd)) {
    close(fd);
    return -1;
  }
#endif
  return fd;
}

int set_opt(int fd, int nSpeed, int nBits, char nEvent, int nStop) {
  struct termios oldtio;
  struct termios newtio;
  if (tcgetattr(fd, &oldtio) != 0) return -1;
  std::memset(&newtio, 0, sizeof newtio);

  newtio.c_cflag |= CLOCAL | CREAD;
  newtio.c_cflag &= ~CSIZE;
  if (nBits == 7) newtio.c_cflag |= CS7;
  if (nBits == 8) newtio.c_cflag |= CS8;

  switch (nEvent) {
    case 'O':
    case 'o':
      newtio.c_cflag |= PARENB | PARODD;
      newtio.c_iflag |= INPCK | ISTRIP;
      break;
    case 'E':
    case 'e':
      newtio.c_cflag |= PARENB;
      newtio.c_cflag &= ~PARODD;
      newtio.c_iflag |= INPCK | ISTRIP;
      break;
    case 'N':
    case 'n':
      newtio.c_cflag &= ~PARENB;
      break;
    default:
      break;
  }

  speed_t speed = B9600;
  switch (nSpeed) {
    case 2400:
      speed = B2400;
      break;
    case 4800:
      speed = B4800;
      break;
    case 115200:
      speed = B115200;
      break;
    case 460800:
      speed = B460800;
      break;
    default:
      speed = B9600;
      break;
  }
  cfsetispeed(&newtio, speed);
  cfsetospeed(&newtio, speed);

  if (nStop == 2)
    newtio.c_cflag |= CSTOPB;
  else
    newtio.c_cflag &= ~CSTOPB;

  newtio.c_cc[VTIME] = 0;
  newtio.c_cc[VMIN] = 0;
  tcflush(fd, TCIFLUSH);
  if (tcsetattr(fd, TCSANOW, &newtio) != 0) return -1;
  return 0;
}

int UART_Send(int fd, const char* send_buf, int data_len) {
  ssize_t written = write(fd, send_buf, static_cast<size_t>(data_len));
  if (written == data_len) return data_len;
  tcflush(fd, TCOFLUSH);
  return 0;
}

int UART_Recv(int fd, char* rcv_buf, int data_len, int timout_ms) {
  fd_set fs_read;
  FD_ZERO(&fs_read);
  FD_SET(fd, &fs_read);
  // Ten whole seconds, plus timout_ms carried into seconds and microseconds.
  struct timeval time;
  time.tv_sec = 10 + timout_ms / 1000;
  time.tv_usec = (timout_ms % 1000) * 1000;
  int fs_sel = select(fd + 1, &fs_read, nullptr, nullptr, &time);
  if (fs_sel == 0) return 0;
  return static_cast<int>(read(fd, rcv_buf, static_cast<size_t>(data_len)));
}

// ---- Exchange -------------------------------------------------------------

const char* const kStatusOK = "OK";
const char* const kOpenPortError = "Open Port Error!";
const char* const kSetPortOptionError = "Set Port Option Error!";
const char* const kErrorSendingCommand = "Error Sending Command!";
const char* const kReadTimeout = "Read Timeout";
const char* const kErrorParameters = "Error Parameters";

std::string SendCommand(std::string COM_Name, std::string Command,
                        char* prcv_buf, int /*timeout_ms*/) {
  prcv_buf[0] = '\0';

  int fd = openPort(COM_Name);
  if (fd == -1) return kOpenPortError;
  if (set_opt(fd, 9600, 8, 'N', 1) == -1) {
    close(fd);
    return kSetPortOptionError;
  }

  // The request goes out from a 32-byte buffer of its own.
  char send_buf[kReplyBufferSize] = {0};
  int length = static_cast<int>(Command.size());
  if (length >= kReplyBufferSize) length = kReplyBufferSize - 1;
  std::memcpy(send_buf, Command.data(), static_cast<size_t>(length));
  if (UART_Send(fd, send_buf, length) != length) {
    close(fd);
    return kErrorSendingCommand;
  }

  // One byte per read until "\n" or 20 bytes; a time-out, end of file or a
  // failed read ends the reply early and keeps what arrived.
  int stored = 0;
  char last = 0;
  while (stored < kMaxReplyBytes && last != '\n') {
    char byte = 0;
    if (UART_Recv(fd, &byte, 1, 100) <= 0) {
      close(fd);
      return kReadTimeout;
    }
    prcv_buf[stored++] = byte;
    prcv_buf[stored] = '\0';
    last = byte;
  }
  close(fd);
  return last == '\n' ? kStatusOK : kErrorParameters;
}

// ---- Hub protocol -----------------------------------------------------------

const char* const kHubIdentity = "TORVAN";
const char* const kWrongPassword = "E01";

std::string QueryRequest() { return "?Q\r"; }

std::string GetStateRequest() { return "GP\r"; }

std::string SetStateRequest(const std::string& code,
                            const std::string& password,
                            const std::string& states) {
  return code + password + states + "\r";
}

std::string ChangePasswordRequest(const std::string& old_password,
                                  const std::string& new_password) {
  return "CP" + old_password + new_password + "\r";
}

std::string PasswordRequest(const std::string& code,
                            const std::string& password) {
  return code + password + "\r";
}

int ReplyLineLength(const std::string& reply) {
  std::string::size_type end = reply.find('\n');
  return static_cast<int>(end == std::string::npos ? reply.size() : end);
}
