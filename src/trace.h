// The trace: what the program did and what the hub said, one line per event,
// for a user who has to find out why a command failed and for a report about
// a real hub. Off unless NEXLI_TRACE asks for it:
//   unset, empty, "0" or any other value: off; nothing is written and
//     nothing else happens;
//   "1": lines on standard error;
//   an absolute path: lines appended to that file, created with mode 0600 if
//     new; several runs may share it. A symbolic link at its last component
//     is refused, and so is anything but a regular file or a named pipe (a
//     terminal, a device, the hub's own control port: not even opened) and a
//     file that cannot be opened: then there is no trace.
// A line is "nexli[PID] MS DEVICE EVENT": the program and its process id,
// the milliseconds since the program started on the monotonic clock, the
// device ("ttyUSB0", or "-"), and what happened. Each line is one write, so
// lines of the /Q scan's threads never mix. A line that cannot be written is
// dropped: the trace never changes what the command prints, sends or
// returns. Callers never hand it a password: requests go through
// RequestWithoutPasswords (serial_link.h) first.
#ifndef NEXLI_TRACE_H
#define NEXLI_TRACE_H

#include <string>

// True when NEXLI_TRACE asks for a trace that can be written. Reads the
// environment and opens the file at the first call, from any thread.
bool TraceOn();

// True when the trace goes to standard error (NEXLI_TRACE=1).
bool TraceToStandardError();

// Writes one line for device (a path such as "/dev/ttyUSB0" is shortened to
// "ttyUSB0"; "" gives "-") when TraceOn(); does nothing otherwise.
void Trace(const std::string& device, const std::string& event);

// bytes between double quotes, escaped: printable ASCII as is, "\r", "\n",
// "\\", "\"" and "\xNN" for every other byte.
std::string TraceBytes(const std::string& bytes);

// The system's text for the error number err ("No such file or directory").
std::string TraceError(int err);

// Milliseconds since the program started, on the monotonic clock.
double TraceMs();

// " after N ms" with N the whole milliseconds from since_ms (a TraceMs()
// value) to now.
std::string TraceSince(double since_ms);

#endif
