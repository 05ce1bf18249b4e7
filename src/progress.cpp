#include "progress.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "revision.h"
#include "trace.h"

// A wait that has lasted this long gets the line.
static const double kShowAfterMs = 1000;
// How often the line is redrawn.
static const int kRedrawMs = 250;
// What clears the line: back to its start, erase to the end.
static const char kErase[] = "\r\033[K";

// What is waited for, by device name, shared between the waiting threads
// and the drawing one: what, since when and until when.
static std::mutex g_mutex;
static std::condition_variable g_wake;
static std::map<std::string, std::string> g_waits;
static std::map<std::string, double> g_since_ms;
static std::map<std::string, double> g_deadline_ms;
// The waits that are pauses of the program's own.
static std::set<std::string> g_pauses;
static int g_scan_devices = 0;  // 0: no scan
static int g_scan_done = 0;
static bool g_shown = false;
static std::string g_drawn;  // the line on the screen
static bool g_stopping = false;
static std::thread g_drawer;

bool ProgressOn() {
  static const bool enabled = [] {
    const char* value = std::getenv("NEXLI_PROGRESS");
    if (value != nullptr && std::strcmp(value, "0") == 0) return false;
    return isatty(STDERR_FILENO) == 1 && !TraceToStandardError();
  }();
  return enabled;
}

static void WriteAll(const char* text, std::size_t length) {
  while (length > 0) {
    ssize_t written = write(STDERR_FILENO, text, length);
    if (written <= 0) return;
    text += written;
    length -= static_cast<std::size_t>(written);
  }
}

// A signal that ends the program while the line is shown: erase it, then
// end as the signal would have.
static void EraseAndDie(int signal_number) {
  WriteAll(kErase, sizeof kErase - 1);
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

static void CatchEndingSignals() {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old_action;
    // Signals the caller chose to ignore or handle stay as they are.
    if (sigaction(signal_number, nullptr, &old_action) != 0 ||
        old_action.sa_handler != SIG_DFL)
      continue;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = EraseAndDie;
    sigaction(signal_number, &action, nullptr);
  }
}

// "ttyUSB0" for "/dev/ttyUSB0".
static std::string Name(const std::string& device) {
  return device.compare(0, 5, "/dev/") == 0 ? device.substr(5) : device;
}

static std::string Seconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f s", ms < 0 ? 0 : ms / 1000);
  return text;
}

// The line for what is waited for now, or "" when nothing has lasted long
// enough. Called with g_mutex held.
static std::string Line(double now_ms) {
  double longest = 0;
  double last_deadline = now_ms;
  for (const auto& entry : g_since_ms)
    if (now_ms - entry.second > longest) longest = now_ms - entry.second;
  for (const auto& entry : g_deadline_ms)
    if (entry.second > last_deadline) last_deadline = entry.second;
  if (g_waits.empty() || longest < kShowAfterMs) return "";
  std::string line = NEXLI_PROGRAM_NAME ": ";
  if (g_scan_devices > 0) {
    line += "searching: " + std::to_string(g_scan_done) + " of " +
            std::to_string(g_scan_devices) + " devices done, waiting for ";
    int listed = 0;
    for (const auto& entry : g_waits) {
      if (listed == 4) {
        line += ", " + std::to_string(g_waits.size() - 4) + " more";
        break;
      }
      line +=
          (listed++ > 0 ? ", " : "") + entry.first + " (" + entry.second + ")";
    }
    return line + "; at most " + Seconds(last_deadline - now_ms) + " more";
  }
  const auto& wait = *g_waits.begin();
  if (g_pauses.count(wait.first) != 0) {
    double left_ms = g_deadline_ms[wait.first] - now_ms;
    char left[32];
    std::snprintf(left, sizeof left, " in %.0f s",
                  left_ms > 0 ? std::ceil(left_ms / 1000) : 0.0);
    return line + wait.first + " " + wait.second + left;
  }
  return line + wait.first +
         (wait.second == "no answer yet" ? " has not answered yet"
                                         : " is " + wait.second) +
         "; waiting at most " + Seconds(last_deadline - now_ms) + " more";
}

// The drawing thread: redraws the line until the program stops it.
static void Draw() {
  std::unique_lock<std::mutex> hold(g_mutex);
  while (!g_stopping) {
    g_wake.wait_for(hold, std::chrono::milliseconds(kRedrawMs));
    if (g_stopping) break;
    std::string line = Line(TraceMs());
    if (line.empty()) continue;
    // Never wider than the terminal: a wrapped line cannot be erased.
    struct winsize size;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 &&
        line.size() >= size.ws_col)
      line.resize(size.ws_col - 1);
    if (g_shown && line == g_drawn) continue;
    g_drawn = line;
    line = "\r" + line + "\033[K";
    WriteAll(line.data(), line.size());
    g_shown = true;
  }
}

// Starts the drawing thread at the first wait. Called with g_mutex held.
static void StartDrawing() {
  if (g_drawer.joinable() || g_stopping) return;
  CatchEndingSignals();
  // The thread starts with every signal blocked (it inherits this thread's
  // mask): they go to the program's other threads, whose handlers may take
  // g_mutex, and which may be holding them back or waiting for them (a
  // power cycle).
  sigset_t every;
  sigset_t old_mask;
  sigfillset(&every);
  pthread_sigmask(SIG_BLOCK, &every, &old_mask);
  try {
    g_drawer = std::thread(Draw);
    // However the process ends (EndProcess, a return from main, exit()
    // anywhere), the thread is joined before the objects it uses and its
    // std::thread, which would end the process if still joinable, are
    // destroyed.
    std::atexit(ProgressStop);
  } catch (const std::system_error&) {
    // No thread, no line.
  }
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
}

// Erases the line if it is shown. Called with g_mutex held.
static void Erase() {
  if (!g_shown) return;
  WriteAll(kErase, sizeof kErase - 1);
  g_shown = false;
}

void ProgressWait(const std::string& device, const std::string& what,
                  double deadline_ms) {
  if (!ProgressOn()) return;
  std::lock_guard<std::mutex> hold(g_mutex);
  std::string name = Name(device);
  if (g_waits.count(name) == 0) g_since_ms[name] = TraceMs();
  g_waits[name] = what;
  g_deadline_ms[name] = deadline_ms;
  g_pauses.erase(name);
  StartDrawing();
}

void ProgressPause(const std::string& device, const std::string& what,
                   double until_ms) {
  if (!ProgressOn()) return;
  std::lock_guard<std::mutex> hold(g_mutex);
  std::string name = Name(device);
  g_since_ms[name] = TraceMs() - kShowAfterMs;  // shown at once
  g_waits[name] = what;
  g_deadline_ms[name] = until_ms;
  g_pauses.insert(name);
  StartDrawing();
  g_wake.notify_all();
}

void ProgressWaitEnd(const std::string& device) {
  if (!ProgressOn()) return;
  std::lock_guard<std::mutex> hold(g_mutex);
  std::string name = Name(device);
  g_waits.erase(name);
  g_since_ms.erase(name);
  g_deadline_ms.erase(name);
  g_pauses.erase(name);
  if (g_waits.empty()) Erase();
}

void ProgressScanBegin(int devices) {
  if (!ProgressOn()) return;
  std::lock_guard<std::mutex> hold(g_mutex);
  g_scan_devices = devices;
  g_scan_done = 0;
}

void ProgressScanDone() {
  if (!ProgressOn()) return;
  std::lock_guard<std::mutex> hold(g_mutex);
  ++g_scan_done;
}

void ProgressStop() {
  if (!ProgressOn()) return;
  {
    std::lock_guard<std::mutex> hold(g_mutex);
    g_stopping = true;
    Erase();
  }
  g_wake.notify_all();
  if (g_drawer.joinable()) g_drawer.join();
}
