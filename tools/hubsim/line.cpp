#include "line.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace hubsim {
namespace {

const int64_t kMs = 1000000;

// Time to send count bytes at 9600 baud with 10 bits per byte (8N1). Always
// computed from a fixed start so that rounding never adds up.
int64_t ByteTime(int64_t count) { return count * 10 * 1000000000LL / 9600; }

// How long a hang-up waits at most for the program to read the bytes sent
// before it (it may never read them), and how often it looks.
const int64_t kHangupMaxWait = 2000 * kMs;
const int64_t kHangupCheckEvery = kMs / 2;

// How long a hub that stopped reading stays on the line before it hangs up:
// a write that waits for room (a blocking one) ends then.
const int64_t kDeafFor = 2000 * kMs;

// The most bytes a bridge passes on in one burst: a 64-byte USB packet less
// its two status bytes.
const size_t kBurstBytes = 62;

}  // namespace

int64_t NowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void LogRequest(int log_fd, int number, const std::string& bytes,
                const char* suffix) {
  if (log_fd < 0) return;
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  char head[64];
  snprintf(head, sizeof head, "%lld.%06ld ttyUSB%d ",
           static_cast<long long>(ts.tv_sec), ts.tv_nsec / 1000, number);
  std::string line = head + EscapeForLog(bytes) + suffix + "\n";
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = write(log_fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    done += static_cast<size_t>(n);
  }
}

Line::Line(const Hub& hub, int master, int slave, int log_fd)
    : hub_(hub),
      master_(master),
      slave_(slave),
      log_fd_(log_fd),
      latency_(hub.settings().faults.latency_ms * kMs) {
  if (hub_.settings().faults.stop_reading == 0) StopReading(NowNs());
}

Line::~Line() {
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

short Line::PollEvents(int64_t now) const {
  if (master_ < 0) return 0;
  short events = deaf_since_ < 0 ? POLLIN : 0;
  if (hangup_since_ < 0 &&
      (BurstDue(now) ||
       (!out_.empty() && !out_.front().hang_up && out_.front().due <= now)))
    events |= POLLOUT;
  return events;
}

bool Line::BurstDue(int64_t now) const {
  return !burst_.empty() &&
         (burst_.size() >= kBurstBytes || burst_start_ + latency_ <= now);
}

int64_t Line::NextDeadline(int64_t now) const {
  if (master_ < 0) return -1;
  if (hangup_since_ >= 0) return now + kHangupCheckEvery;
  // A hub that stopped reading hangs up when its time is over.
  int64_t deadline = deaf_since_ < 0 ? -1 : deaf_since_ + kDeafFor;
  auto until = [&](int64_t due) {
    if (due >= 0 && (deadline < 0 || due < deadline)) deadline = due;
  };
  // (A due write, of a burst or of reply bytes, waits for POLLOUT.)
  if (!burst_.empty() && !BurstDue(now)) until(burst_start_ + latency_);
  if (out_.empty()) return deadline;
  const Chunk& next = out_.front();
  // A hang-up also waits for the bridge's burst, whose deadline is above.
  until(next.due > now ? next.due : next.hang_up && burst_.empty() ? now : -1);
  return deadline;
}

void Line::Receive(int64_t now) {
  if (master_ < 0 || deaf_since_ >= 0) return;
  char buf[4096];
  for (;;) {
    ssize_t n = read(master_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    // EAGAIN: all read. EIO would mean no slave is open, which our own slave
    // descriptor prevents; either way there is nothing to read now.
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (request_.empty()) request_start_ = now;
      request_ += buf[i];
      if (buf[i] != '\r') continue;
      LogRequest(log_fd_, hub_.settings().number, request_, "");
      Answer answer = hub_.Handle(request_);
      Queue(answer, request_start_, request_.size(), now);
      request_.clear();
      if (++answered_ == hub_.settings().faults.stop_reading) {
        StopReading(now);
        return;
      }
    }
  }
}

void Line::Queue(const Answer& answer, int64_t request_start,
                 size_t request_size, int64_t now) {
  if (hangup_since_ >= 0) return;  // the line is about to go
  int64_t start = now;
  if (answer.paced)
    start = std::max(
        start, request_start + ByteTime(static_cast<int64_t>(request_size)));
  start += answer.delay_ms * kMs;
  // Replies leave one after the other, never interleaved.
  if (!out_.empty()) start = std::max(start, out_.back().due);
  const std::string& bytes = answer.bytes;
  if (answer.paced) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      out_.push_back({start + ByteTime(static_cast<int64_t>(i) + 1),
                      bytes.substr(i, 1), false});
    }
  } else if (!bytes.empty()) {
    out_.push_back({start, bytes, false});
  }
  if (answer.hang_up) {
    int64_t due = out_.empty() ? start : std::max(start, out_.back().due);
    out_.push_back({due, "", true});
  }
}

void Line::Serve(int64_t now) {
  if (master_ < 0) return;
  if (deaf_since_ >= 0 && now - deaf_since_ >= kDeafFor) {
    HangUp();
    return;
  }
  // Events in the order of their times, though this call may come late: a
  // byte that reached the bridge before its timer ran out joins the burst.
  while (hangup_since_ < 0) {
    bool next_due = !out_.empty() && out_.front().due <= now;
    if (!burst_.empty() &&
        (burst_.size() >= kBurstBytes ||
         burst_start_ + latency_ <=
             (next_due && !out_.front().hang_up ? out_.front().due : now))) {
      if (!Send(&burst_)) break;  // pty buffer full: wait for POLLOUT
      continue;
    }
    if (!next_due) break;
    Chunk& next = out_.front();
    if (next.hang_up) {
      if (!burst_.empty()) break;
      hangup_since_ = now;
      out_.clear();
      break;
    }
    if (latency_ > 0) {
      while (!next.bytes.empty() && burst_.size() < kBurstBytes) {
        if (burst_.empty()) burst_start_ = next.due;
        burst_ += next.bytes[0];
        next.bytes.erase(0, 1);
      }
    } else if (!Send(&next.bytes)) {
      break;
    }
    if (next.bytes.empty()) out_.pop_front();
  }
  if (hangup_since_ < 0) return;
  // Hanging up throws away whatever the program has not read yet, so wait
  // until it has taken the bytes sent before the hang-up. Polling the slave
  // first makes the kernel hand pending input to the line discipline, so the
  // count that follows is exact.
  struct pollfd slave = {slave_, POLLIN, 0};
  poll(&slave, 1, 0);
  int unread = 0;
  if (ioctl(slave_, FIONREAD, &unread) != 0) unread = 0;
  if (unread == 0 || now - hangup_since_ >= kHangupMaxWait) HangUp();
}

bool Line::Send(std::string* bytes) {
  for (;;) {
    ssize_t n = write(master_, bytes->data(), bytes->size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return false;
    if (n < 0) bytes->clear();  // nowhere to send them; drop them
    if (n > 0) bytes->erase(0, static_cast<size_t>(n));
    return bytes->empty();
  }
}

void Line::HangUp() {
  // Closing the master hangs up the slave: reads there return end of file
  // and the /dev/pts entry disappears. A read already waiting at that moment
  // would get EIO instead, because the kernel marks the other side closed
  // before it hangs up; hanging up the slave first avoids that, but needs
  // CAP_SYS_ADMIN, so it only works when we run as real root.
  ioctl(slave_, TIOCVHANGUP);
  close(master_);
  close(slave_);
  master_ = -1;
  slave_ = -1;
  out_.clear();
  burst_.clear();
  hangup_since_ = -1;
}

void Line::StopReading(int64_t now) {
  deaf_since_ = now;
  // Stop the line's output toward the hub, as a full buffer stops it: from
  // now on a write there takes no byte. (Filling the pseudo-terminal's buffer
  // instead would race: the line discipline on our side takes its share a
  // moment later, and a small write still finds a recycled buffer.) Replies
  // still go out.
  tcflow(slave_, TCOOFF);
}

void Line::LogLeftover() const {
  if (!request_.empty())
    LogRequest(log_fd_, hub_.settings().number, request_, " [unterminated]");
}

}  // namespace hubsim
