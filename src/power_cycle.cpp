#include "power_cycle.h"

#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>

#include "exit_status.h"
#include "progress.h"
#include "serial_link.h"
#include "trace.h"

const char* const kCycleDelayError = "Cycle Delay Error!";
const char* const kPowerCycleError = "Power Cycle Error!";

static const long long kNsPerSecond = 1000000000LL;

// The signals held from the off request until the ports are on again: every
// one whose default action ends the program, but SIGKILL, which nothing
// holds, and those of a fault of the program itself (SIGSEGV, SIGBUS, SIGFPE,
// SIGILL, SIGTRAP, SIGSYS), which the kernel sends to the faulting thread.
static void EndingSignals(sigset_t* set) {
  static const int kSignals[] = {
      SIGHUP,    SIGINT,  SIGQUIT, SIGABRT, SIGUSR1, SIGUSR2,   SIGPIPE,
      SIGALRM,   SIGTERM, SIGXCPU, SIGXFSZ, SIGIO,   SIGVTALRM, SIGPROF,
#ifdef SIGSTKFLT
      SIGSTKFLT,
#endif
#ifdef SIGPWR
      SIGPWR,
#endif
  };
  sigemptyset(set);
  for (int signal_number : kSignals) sigaddset(set, signal_number);
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number)
    sigaddset(set, signal_number);
}

// "SIGTERM", or "signal 40" for one without a name.
static std::string SignalName(int signal_number) {
  const char* name = sigabbrev_np(signal_number);
  return name != nullptr ? std::string("SIG") + name
                         : "signal " + std::to_string(signal_number);
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
  bool fraction = false;  // a decimal other than 0, however far right
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
      if (*ch != '0') fraction = true;
    }
  }
  long long delay_ns = seconds * kNsPerSecond + fraction_ns;
  if (digits == 0 || (seconds == kMaxCycleDelaySeconds && fraction))
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
  sigset_t ending;
  EndingSignals(&ending);
  pthread_sigmask(SIG_BLOCK, &ending, &g_caller_mask);
  sigemptyset(&g_held);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    struct sigaction action;
    if (sigismember(&ending, signal_number) == 1 &&
        sigismember(&g_caller_mask, signal_number) == 0 &&
        sigaction(signal_number, nullptr, &action) == 0 &&
        action.sa_handler != SIG_IGN)
      sigaddset(&g_held, signal_number);
  }
  g_holding = true;
}

// Holds the ports off for delay_ns, waiting for a held signal meanwhile; one
// that came before the pause cuts it short at once. Returns the signal that
// cut the pause short, or 0 when it ran its time. The signals stay held.
static int Pause(const std::string& device, const std::string& ports,
                 long long delay_ns) {
  HoldEndingSignals();

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
    int taken = sigtimedwait(&g_held, nullptr, &wait);
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
  return caught;
}

// A held signal that came since the pause (the lowest-numbered of several),
// taken; 0 for none.
static int TakeHeldSignal() {
  struct timespec no_wait = {0, 0};
  int taken = sigtimedwait(&g_held, nullptr, &no_wait);
  return taken > 0 ? taken : 0;
}

#ifdef NEXLI_COVERAGE
// gcc's --coverage: writes the counts so far, which a process that a signal
// ends would never write.
extern "C" void __gcov_dump(void);
#endif

// Ends the process as signal_number ends it when nothing catches it.
[[noreturn]] static void EndBySignal(int signal_number) {
  Trace("", "end: by " + SignalName(signal_number) +
                " (its default action), the ports on again");
  std::fflush(stdout);
  ProgressStop();
#ifdef NEXLI_COVERAGE
  __gcov_dump();
#endif
  signal(signal_number, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(signal_number);
  EndProcess(kExitDone);  // not reached: the signal ends the process
}

// The ports of the cycle whose on step is out ("Port 3", "Ports 1,3" or
// "All ports"), for the line that names them if the program ends before the
// step is done.
static std::string g_ports_in_doubt;

static void Print(const std::string& text) {
  Trace("", "printed " + TraceBytes(text));
  PrintLine(text);
}

// The end of the program while the on step is out: after the step's
// message, the line that names the ports that may be off.
static int PortsMayBeOff(int outcome) {
  if (outcome == kExitDone) return outcome;
  Print(std::string(kPowerCycleError) + " " + g_ports_in_doubt + " may be off");
  return kExitPortsMayBeOff;
}

void PowerCycle(const std::string& device, const std::string& sPS,
                CycleStep step) {
  long long delay_ns = 0;
  if (CycleDelay(&delay_ns) != kStatusOK) RetUsageError(kCycleDelayError);
  std::string list = sPS.substr(1);  // the separator and the body
  std::string ports = PortsText(sPS);

  // The off step holds the ending signals from its request on. A reply that
  // failed after the request went out leaves the ports in doubt: the on step
  // follows the pause all the same.
  std::string off = step("0" + list);
  if (off != kStatusOK) {
    Trace(device, "cycle: the hub may have switched " + ports +
                      " off all the same; on again after the pause");
    Print(off);
  }
  int signal_number = Pause(device, ports, delay_ns);

  g_ports_in_doubt = ports;
  g_ports_in_doubt[0] = static_cast<char>(g_ports_in_doubt[0] - 'a' + 'A');
  SetEndHook(PortsMayBeOff);
  std::string on = step("1" + list);
  if (on != kStatusOK) RetError(on);
  SetEndHook(nullptr);

  // The ports are on: the program now ends as the first held signal asks.
  if (signal_number == 0) signal_number = TakeHeldSignal();
  if (signal_number != 0) EndBySignal(signal_number);
  pthread_sigmask(SIG_SETMASK, &g_caller_mask, nullptr);
  g_holding = false;
  if (off != kStatusOK) EndProcess(kExitFailed);
}
