#include "serial_link.h"

#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exit_status.h"
#include "progress.h"
#include "revision.h"
#include "trace.h"

// ---- Reporting ------------------------------------------------------------

// The error of the first write to standard output that failed (0: none).
static int g_output_error = 0;

void PrintText(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (std::fflush(stdout) != 0 && g_output_error == 0) g_output_error = errno;
}

void PrintLine(const std::string& text) { PrintText(text + "\n"); }

void KeepStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
      // The lowest free descriptor, and so fd itself: those below are open.
      open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
}

// Flushes and closes standard output. Returns the error of the first write
// that failed, or 0 when all of it arrived.
static int StandardOutputError() {
  if (std::fflush(stdout) != 0 && g_output_error == 0) g_output_error = errno;
  if (std::ferror(stdout) && g_output_error == 0) g_output_error = EIO;
#ifndef NEXLI_FUZZ
  // Some file systems tell a failed write only when the file is closed.
  if (std::fclose(stdout) != 0 && g_output_error == 0) g_output_error = errno;
#endif
  return g_output_error;
}

#ifdef NEXLI_FUZZ
// The fuzz targets define this to end one input instead of the process.
[[noreturn]] void FuzzEndProcess(int outcome);
#endif

static EndHook g_end_hook = nullptr;

void SetEndHook(EndHook hook) { g_end_hook = hook; }

void EndProcess(int outcome) {
  if (g_end_hook != nullptr) {
    EndHook hook = g_end_hook;
    g_end_hook = nullptr;
    outcome = hook(outcome);
  }
  int lost = StandardOutputError();
  ProgressStop();
  // A reader that went away wanted no more.
  if (lost != 0 && lost != EPIPE) {
    std::string line =
        NEXLI_PROGRAM_NAME ": write error: " + TraceError(lost) + "\n";
    ssize_t written = write(STDERR_FILENO, line.data(), line.size());
    (void)written;  // standard error has nowhere else to go
    Trace("", "standard output lost: " + TraceError(lost));
    if (outcome == kExitDone) outcome = kExitFailed;
  }
  if (TraceOn()) {
    static const char* const kOutcomes[] = {"done", "failed", "rejected",
                                            "failed, ports may be off"};
    Trace("", std::string("end: ") + kOutcomes[outcome] + ", exit status " +
                  std::to_string(ExitStatus(outcome)));
  }
#ifdef NEXLI_FUZZ
  FuzzEndProcess(outcome);
#endif
  std::exit(ExitStatus(outcome));
}

void RetError(std::string ret) {
  Trace("", "printed " + TraceBytes(ret));
  PrintLine(ret);
  EndProcess(kExitFailed);
}

void RetUsageError(std::string ret) {
  Trace("", "printed " + TraceBytes(ret));
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
    errno = EMFILE;
    return -1;
  }
#if NEXLI_BLOCKING_OPEN
  // Clear the status flags, O_NONBLOCK among them, and take only terminals.
  if (fcntl(fd, F_SETFL, 0) < 0 || !isatty(fd)) {
    int why = errno;
    close(fd);
    errno = why;
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

// UART_Send, telling in *pwhy (when not null) how a write fell short.
static int SendTold(int fd, const char* send_buf, int data_len,
                    std::string* pwhy) {
  ssize_t written = write(fd, send_buf, static_cast<size_t>(data_len));
  if (written == data_len) return data_len;
  if (pwhy != nullptr)
    *pwhy = written < 0 ? "write failed: " + TraceError(errno)
                        : "short write: " + std::to_string(written) + " of " +
                              std::to_string(data_len) + " bytes";
  tcflush(fd, TCOFLUSH);
  return 0;
}

int UART_Send(int fd, const char* send_buf, int data_len) {
  return SendTold(fd, send_buf, data_len, nullptr);
}

// UART_Recv, telling in *pwhy (when not null) why it returned 0 or less.
static int RecvTold(int fd, char* rcv_buf, int data_len, int timout_ms,
                    std::string* pwhy) {
  fd_set fs_read;
  FD_ZERO(&fs_read);
  FD_SET(fd, &fs_read);
  // Ten whole seconds, plus timout_ms carried into seconds and microseconds.
  struct timeval time;
  time.tv_sec = 10 + timout_ms / 1000;
  time.tv_usec = (timout_ms % 1000) * 1000;
  int fs_sel = select(fd + 1, &fs_read, nullptr, nullptr, &time);
  if (fs_sel == 0) {
    if (pwhy != nullptr) *pwhy = "time-out";
    return 0;
  }
  int got = static_cast<int>(read(fd, rcv_buf, static_cast<size_t>(data_len)));
  if (got <= 0 && pwhy != nullptr)
    *pwhy = got == 0 ? "hang-up (end of file)"
                     : "read failed: " + TraceError(errno);
  return got;
}

int UART_Recv(int fd, char* rcv_buf, int data_len, int timout_ms) {
  return RecvTold(fd, rcv_buf, data_len, timout_ms, nullptr);
}

// ---- Exchange -------------------------------------------------------------

const char* const kStatusOK = "OK";
const char* const kOpenPortError = "Open Port Error!";
const char* const kSetPortOptionError = "Set Port Option Error!";
const char* const kErrorSendingCommand = "Error Sending Command!";
const char* const kReadTimeout = "Read Timeout";
const char* const kErrorParameters = "Error Parameters";

// The trace's account of a reply: the stored bytes that arrived, and when
// the first and the last of them did (ms after the request was sent).
static std::string TracedReply(const char* prcv_buf, int stored, double sent_ms,
                               double first_ms, double last_ms) {
  std::string text =
      TraceBytes(std::string(prcv_buf, static_cast<std::size_t>(stored))) +
      " (" + std::to_string(stored) + " bytes";
  if (stored > 0) {
    char times[64];
    std::snprintf(times, sizeof times,
                  ", first after %.1f ms, last after %.1f ms",
                  first_ms - sent_ms, last_ms - sent_ms);
    text += times;
  }
  return text + ")";
}

std::string SendCommand(std::string COM_Name, std::string Command,
                        char* prcv_buf, int /*timeout_ms*/) {
  prcv_buf[0] = '\0';
  const bool traced = TraceOn();

  int fd = openPort(COM_Name);
  if (fd == -1) {
    if (traced) Trace(COM_Name, "open failed: " + TraceError(errno));
    return kOpenPortError;
  }
  if (set_opt(fd, 9600, 8, 'N', 1) == -1) {
    if (traced) Trace(COM_Name, "configure failed: " + TraceError(errno));
    close(fd);
    return kSetPortOptionError;
  }

  // The request goes out from a 32-byte buffer of its own.
  char send_buf[kReplyBufferSize] = {0};
  int length = static_cast<int>(Command.size());
  if (length >= kReplyBufferSize) length = kReplyBufferSize - 1;
  std::memcpy(send_buf, Command.data(), static_cast<size_t>(length));
  std::string why;
  if (traced)
    Trace(COM_Name, "opened and configured; sending " +
                        TraceBytes(RequestWithoutPasswords(Command)));
  double sent_ms = traced ? TraceMs() : 0;
  if (SendTold(fd, send_buf, length, traced ? &why : nullptr) != length) {
    if (traced) Trace(COM_Name, why);
    close(fd);
    return kErrorSendingCommand;
  }

  // One byte per read until "\n" or 20 bytes; a time-out, end of file or a
  // failed read ends the reply early and keeps what arrived.
  int stored = 0;
  char last = 0;
  double first_ms = 0;
  double last_ms = 0;
  const bool shown = ProgressOn();
  while (stored < kMaxReplyBytes && last != '\n') {
    char byte = 0;
    double wait_ms = traced || shown ? TraceMs() : 0;
    if (shown) ProgressWait(COM_Name, "no answer yet", wait_ms + 10100);
    if (RecvTold(fd, &byte, 1, 100, traced ? &why : nullptr) <= 0) {
      if (traced)
        Trace(COM_Name,
              why + TraceSince(wait_ms) + " waiting for byte " +
                  std::to_string(stored + 1) + "; received " +
                  TracedReply(prcv_buf, stored, sent_ms, first_ms, last_ms));
      ProgressWaitEnd(COM_Name);
      close(fd);
      return kReadTimeout;
    }
    if (traced) {
      last_ms = TraceMs();
      if (stored == 0) first_ms = last_ms;
    }
    prcv_buf[stored++] = byte;
    prcv_buf[stored] = '\0';
    last = byte;
  }
  ProgressWaitEnd(COM_Name);
  close(fd);
  if (traced)
    Trace(COM_Name,
          std::string(last == '\n' ? "received " : "over-long reply: ") +
              TracedReply(prcv_buf, stored, sent_ms, first_ms, last_ms) +
              (last == '\n' ? "" : ", no line end: the rest is not read"));
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

std::string RequestWithoutPasswords(const std::string& request) {
  std::string code = request.substr(0, 2);
  int fields = code == "CP" ? 2
               : code == "SP" || code == "FP" || code == "WP" || code == "RD" ||
                       code == "RH"
                   ? 1
                   : 0;
  std::string shown = request;
  for (int i = 0; i < fields; ++i) {
    std::string::size_type at = kPasswordFieldPos + i * kPasswordFieldLength;
    if (at < shown.size())
      shown.replace(at, kPasswordFieldLength,
                    std::string(kPasswordFieldLength, '*'));
  }
  return shown;
}

int ReplyLineLength(const std::string& reply) {
  std::string::size_type end = reply.find('\n');
  return static_cast<int>(end == std::string::npos ? reply.size() : end);
}
