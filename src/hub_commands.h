// Hub commands: one procedure per command family. Each returns to main only
// on success; every failure prints one line and ends the process, through
// RetError when the port or the hub failed or refused, through RetUsageError
// or DoCommandUsage when the command line or an argument is rejected.
#ifndef NEXLI_HUB_COMMANDS_H
#define NEXLI_HUB_COMMANDS_H

#include <string>

// /Q: the discovery scan of /dev/ttyUSB0 to /dev/ttyUSB255 (only the devices
// of the USB IDs NEXLI_SCAN_MATCH names, when it is set), or one hub, each as
// a list, (option -F) as one formatted line or (option -J) as JSON: an array
// of hub objects for the scan, one hub object for one hub.
void DoQuery();
// /S ("SP") and /F ("FP"): apply a state expression and send the new states;
// /S with a C: expression power-cycles the ports of its list (power_cycle.h).
void DoSetPortState(std::string sp_command);
// /G: the port states of one hub as lists, binary (-B) or hex (-H) text, or
// (-J) the hub object of /Q:ttyUSBn -J.
void DoGetPortState();
// /P: change the hub password ("CP").
void DoChangePassword();
// /W: save the present states to flash as the power-up states ("WP").
void DoSavePortState();
// /D: restore the factory defaults ("RD").
void DoRestoreDefault();
// /R: reset the hub ("RH").
void DoResetHub();

#endif
