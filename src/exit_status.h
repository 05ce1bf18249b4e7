// Exit status: what a run's status says about its outcome. Every run ends
// with status 0 unless the environment asks for the outcome to be told, with
// NEXLI_EXIT_STATUS=1; the output is the same either way.
#ifndef NEXLI_EXIT_STATUS_H
#define NEXLI_EXIT_STATUS_H

// The outcome classes, each the status it gets when the outcome is told.
const int kExitDone = 0;      // the command did what it was asked
const int kExitFailed = 1;    // the port or the hub failed or refused
const int kExitRejected = 2;  // the command line or an argument was rejected
// A power cycle switched its ports off and could not switch them on again:
// they may be off.
const int kExitPortsMayBeOff = 3;

// The status to end a run of the given outcome with: the outcome itself when
// the environment variable NEXLI_EXIT_STATUS is exactly "1", else 0 (unset,
// empty, "0", "yes", "1 " and every other value). Reads the environment at
// each call; a run calls it once, as it ends.
int ExitStatus(int outcome);

#endif
