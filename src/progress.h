// The progress line: while the program waits for something for longer than
// about a second, one line on standard error says what it waits for, so that
// a person at a terminal does not take the wait for a hang:
//   nexli: ttyUSB0 is held by another program; waiting at most 28 s more
//   nexli: ttyUSB0 has not answered yet; waiting at most 9 s more
//   nexli: searching: 3 of 5 devices done, waiting for ttyUSB4 (no answer
//          yet), ttyUSB9 (held by another program); at most 9 s more
//   nexli: ttyUSB0 power cycle: port 3 off, on again in 2 s
// It is drawn only when standard error is a terminal, NEXLI_PROGRESS is not
// "0" and the trace does not go to standard error (the trace wins there). It
// is drawn by one thread of its own, redrawn in place and erased when the
// wait ends, before anything else is printed, and on SIGINT, SIGTERM and
// SIGHUP; nothing of it stays on the screen. Its thread keeps every signal
// blocked, so that they always reach the program's other threads (a handler
// there may take the line's lock; a power cycle holds them back and waits
// for them). Otherwise nothing at all is written and no thread is started.
// Waiting itself is never changed: the calls below only record what is waited
// for.
#ifndef NEXLI_PROGRESS_H
#define NEXLI_PROGRESS_H

#include <string>

// True when the line may be drawn at all (decided at the first call): the
// calls below do nothing otherwise.
bool ProgressOn();

// device (a path such as "/dev/ttyUSB0") is being waited for: what ("held by
// another program", "no answer yet", ...) until deadline_ms (on TraceMs()'s
// clock, trace.h). A second call for the same device replaces the first.
void ProgressWait(const std::string& device, const std::string& what,
                  double deadline_ms);
// The wait for device is over; the line is erased when no wait is left.
void ProgressWaitEnd(const std::string& device);

// The program pauses on its own for device until until_ms (TraceMs()'s
// clock), as a power cycle does with its ports off: the line shows at once,
// "nexli: ttyUSB0 " + what + " in 2 s" (the seconds left, rounded up), until
// ProgressWaitEnd(device).
void ProgressPause(const std::string& device, const std::string& what,
                   double until_ms);

// The /Q scan queries devices devices at once: the line counts those done.
void ProgressScanBegin(int devices);
// One device of the scan is done.
void ProgressScanDone();

// Erases the line and stops drawing; the program is about to end. Also run
// at exit once the drawing thread has started, however the process ends
// (through EndProcess or not); a second call does nothing.
void ProgressStop();

#endif
