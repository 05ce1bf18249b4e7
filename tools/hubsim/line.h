// The serial side of one virtual hub: the pty master the hub listens on,
// the bytes of the request being received, and the reply bytes waiting for
// their time to be sent, held on the way by the USB serial bridge (--latency)
// if there is one.
#ifndef HUBSIM_LINE_H
#define HUBSIM_LINE_H

#include <cstdint>
#include <deque>
#include <string>

#include "hub.h"

namespace hubsim {

// Nanoseconds on CLOCK_MONOTONIC.
int64_t NowNs();

// Appends one request line to the log descriptor log_fd (no-op when -1):
// "<unix seconds>.<microseconds> ttyUSB<number> <escaped bytes><suffix>\n",
// in a single write so each line reaches the file whole and at once.
void LogRequest(int log_fd, int number, const std::string& bytes,
                const char* suffix);

class Line {
 public:
  // Takes ownership of the pty descriptors master (non-blocking) and slave.
  // Requests are logged to log_fd (not owned; -1 for none). A hub told to
  // stop reading after 0 requests stops at once.
  Line(const Hub& hub, int master, int slave, int log_fd);
  ~Line();
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  // The master descriptor to poll, or -1 once the line has been hung up.
  int fd() const { return master_; }

  // Events to poll the master for at time now: POLLIN, plus POLLOUT while
  // due reply bytes (or a due burst of the bridge) wait to be written.
  short PollEvents(int64_t now) const;

  // The next time (NowNs clock) at which Serve has work to do, or -1 if none
  // is pending and only input can wake the line.
  int64_t NextDeadline(int64_t now) const;

  // Reads everything available from the master, handles each complete
  // request and queues its reply. Reads nothing once the hub stopped reading.
  void Receive(int64_t now);

  // Writes the reply bytes whose time has come and carries out a pending
  // hang-up once the program has read what was sent before it, or once a
  // hub that stopped reading has been deaf for its time. With a bridge, the
  // bytes whose time has come reach the bridge, which passes them on in
  // bursts: each when the latency timer, started by its first byte, runs
  // out, or as soon as it holds 62 bytes (a USB packet less its two status
  // bytes). A hang-up waits for the burst held.
  void Serve(int64_t now);

  // Logs the bytes of an unfinished request (no "\r" yet), if any, marked as
  // such. Called once when hubsim exits.
  void LogLeftover() const;

  const Hub& hub() const { return hub_; }

 private:
  struct Chunk {
    int64_t due;        // not to be written before this time
    std::string bytes;  // empty for a hang-up
    bool hang_up;       // hang up instead of writing
  };

  void Queue(const Answer& answer, int64_t request_start, size_t request_size,
             int64_t now);
  // Writes *bytes to the master. Returns true when they are all gone
  // (written, or dropped where nothing takes them), false when the rest waits
  // for room in the pty.
  bool Send(std::string* bytes);
  // Whether the bridge's burst is to be written at time now.
  bool BurstDue(int64_t now) const;
  void HangUp();
  // Reads nothing from now on, and the line toward the hub takes no more
  // bytes: the program's writes find it full.
  void StopReading(int64_t now);

  Hub hub_;
  int master_;
  int slave_;
  int log_fd_;
  std::string request_;        // bytes since the last "\r"
  int64_t request_start_ = 0;  // arrival time of the request's first byte
  std::deque<Chunk> out_;
  int64_t hangup_since_ = -1;  // when a hang-up became due, or -1
  long answered_ = 0;          // requests handled so far
  int64_t deaf_since_ = -1;    // when the hub stopped reading, or -1
  int64_t latency_;            // the bridge's latency timer in ns (0: none)
  std::string burst_;          // bytes the bridge holds
  int64_t burst_start_ = 0;    // when the first of them reached the bridge
};

}  // namespace hubsim

#endif
