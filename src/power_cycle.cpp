#include "power_cycle.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>

#include "exit_status.h"
#include "progress.h"
#include "serial_link.h"
#include "trace.h"

const char* const kCycleDelayError = "Cycle Delay Error!";

static const long long kNsPerSecond = 1000000000LL;

// The signals that cut the pause short, and their names for the trace.
static const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

static std::string SignalName(int signal_number) {
  return signal_number == SIGINT    ? "SIGINT"
         : signal_number == SIGTERM ? "SIGTERM"
                                    : "SIGHUP";
}

// Nanoseconds on the monotonic clock.
static long long NowNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

std::string CycleDelay(long long* pdelay_ns) {
  const char* value = std::getenv("NEXLI_CYCLE_DELAY");
  if (value == nullptr || *value == '\0') {
    *pdelay_ns = kDefaultCycleDelaySeconds * kNsPerSecond;
    return kStatusOK;
  }
  long long seconds = 0;
  long long fraction_ns = 0;
  long long digit_ns = kNsPerSecond / 10;  // what the next decimal is worth
  int digits = 0;
  bool point = false;
  for (const char* ch = value; *ch != '\0'; ++ch) {
    if (*ch == '.' && !point) {
      point = true;
      continue;
    }
    if (*ch < '0' || *ch > '9') return kCycleDelayError;
    ++digits;
    if (!point) {
      seconds = seconds * 10 + (*ch - '0');
      if (seconds > kMaxCycleDelaySeconds) return kCycleDelayError;
    } else {
      fraction_ns += (*ch - '0') * digit_ns;
      digit_ns /= 10;
    }
  }
  long long delay_ns = seconds * kNsPerSecond + fraction_ns;
  if (digits == 0 || delay_ns > kMaxCycleDelaySeconds * kNsPerSecond)
    return kCycleDelayError;
  *pdelay_ns = delay_ns;
  return kStatusOK;
}

bool IsPowerCycle(const std::string& sPS) {
  return sPS.size() >= 2 && sPS[0] == 'C';
}

// "port 3", "ports 1,3" or "all ports": the ports of the expression's body.
static std::string PortsText(const std::string& sPS) {
  std::string body = sPS.substr(2);
  if (body == "ALL") return "all ports";
  return (body.find(',') == std::string::npos ? "port " : "ports ") + body;
}

// The caller's signal mask, and the ending signals held back since
// HoldEndingSignals (those the caller ignores or blocks left out).
static sigset_t g_caller_mask;
static sigset_t g_held;
static bool g_holding = false;

void HoldEndingSignals() {
  if (g_holding) return;
  sigemptyset(&g_held);
  for (int signal_number : kEndingSignals) sigaddset(&g_held, signal_number);
  pthread_sigmask(SIG_BLOCK, &g_held, &g_caller_mask);
  for (int signal_number : kEndingSignals) {
    struct sigaction action;
    if (sigismember(&g_caller_mask, signal_number) == 1 ||
        (sigaction(signal_number, nullptr, &action) == 0 &&
         action.sa_handler == SIG_IGN))
      sigdelset(&g_held, signal_number);
  }
  g_holding = true;
}

// Holds the ports off for delay_ns, with the ending signals held back and
// waited for (those the caller ignores or blocks excepted); one that came
// before the pause cuts it short at once. Returns the signal that cut the
// pause short, or 0 when it ran its time.
static int Pause(const std::string& device, const std::string& ports,
                 long long delay_ns) {
  HoldEndingSignals();
  const sigset_t& ending = g_held;

  double start_ms = TraceMs();
  if (TraceOn()) {
    char delay[48];
    std::snprintf(delay, sizeof delay, "%.3f s",
                  static_cast<double>(delay_ns) / kNsPerSecond);
    Trace(device,
          "cycle: " + ports + " off; on again after a pause of " + delay);
  }
  ProgressPause(device, "power cycle: " + ports + " off, on again",
                start_ms + static_cast<double>(delay_ns) / 1e6);

  // Until the time is over; a stop or another signal only interrupts the
  // wait. With no time left, one last look for a signal that came at the end.
  long long deadline = NowNs() + delay_ns;
  int caught = 0;
  for (;;) {
    long long left = deadline - NowNs();
    if (left < 0) left = 0;
    struct timespec wait;
    wait.tv_sec = static_cast<time_t>(left / kNsPerSecond);
    wait.tv_nsec = static_cast<long>(left % kNsPerSecond);
    int taken = sigtimedwait(&ending, nullptr, &wait);
    if (taken > 0) {
      caught = taken;
      break;
    }
    if (left == 0) break;
  }

  ProgressWaitEnd(device);
  if (TraceOn())
    Trace(device, caught == 0
                      ? "cycle: pause over" + TraceSince(start_ms)
                      : "cycle: pause cut short by " + SignalName(caught) +
                            TraceSince(start_ms) + "; on again at once");
  // Cut short, the signals stay held through the on step: those that come
  // after the first (timeout sends its SIGTERM twice, to nexli and to its
  // process group; a closing terminal sends SIGHUP and more) must not end
  // the program before its ports are on. The first one ends it after that.
  if (caught == 0) {
    pthread_sigmask(SIG_SETMASK, &g_caller_mask, nullptr);
    g_holding = false;
  }
  return caught;
}

// Ends the process as signal_number ends it when nothing catches it.
[[noreturn]] static void EndBySignal(int signal_number) {
  Trace("", "end: by " + SignalName(signal_number) +
                " (its default action), the ports on again");
  std::fflush(stdout);
  ProgressStop();
  signal(signal_number, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(signal_number);
  EndProcess(kExitDone);  // not reached: the signal ends the process
}

void PowerCycle(const std::string& device, const std::string& sPS,
                CycleStep step) {
  long long delay_ns = 0;
  if (CycleDelay(&delay_ns) != kStatusOK) RetUsageError(kCycleDelayError);
  std::string list = sPS.substr(1);  // the separator and the body
  step("0" + list);
  int signal_number = Pause(device, PortsText(sPS), delay_ns);
  step("1" + list);
  if (signal_number != 0) EndBySignal(signal_number);
}
