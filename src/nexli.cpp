// nexli: controls a Managed USB Hub through its serial control port.
// One run performs one command, chosen by the second character of the switch.

#include "exit_status.h"
#include "front_end.h"
#include "hub_commands.h"
#include "revision.h"
#include "serial_link.h"
#include "trace.h"

int main(int argc, char** argv) {
  KeepStandardDescriptors();
  // Up to three arguments: the switch, then password and argument.
  switch (argc) {
    case 1:
      DoShowHelp();
    case 2:
      command = argv[1];
      break;
    case 3:
      command = argv[1];
      arg2 = argv[2];
      break;
    case 4:
      command = argv[1];
      arg2 = argv[2];
      arg3 = argv[3];
      break;
    default:
      DoCommandUsage();
  }

  command = toUpper(command);
  if (TraceOn())
    Trace("", "start: " NEXLI_BANNER ", " + std::to_string(argc - 1) +
                  " argument(s), the first " + TraceBytes(command));
  if (command.empty() || command[0] != '/') DoCommandUsage();
  if (command.size() < 2) DoCommandUsage();

  // The device name follows "/", the letter and one separator character; its
  // first three letters end up in lower case and the rest in upper case.
  COM_Name = "";
  if (command.size() > 9) COM_Name = toUpper(command.substr(3));
  for (std::size_t i = 0; i < 3 && i < COM_Name.size(); ++i)
    COM_Name[i] = to_lower(COM_Name[i]);
  COM_Name = "/dev/" + COM_Name;

  switch (command[1]) {
    case '?':
    case 'H':
      DoShowHelp();
    case 'Q':
      DoQuery();
      break;
    case 'S':
      DoSetPortState("SP");
      break;
    case 'F':
      DoSetPortState("FP");
      break;
    case 'G':
      DoGetPortState();
      break;
    case 'P':
      DoChangePassword();
      break;
    case 'W':
      DoSavePortState();
      break;
    case 'D':
      DoRestoreDefault();
      break;
    case 'R':
      DoResetHub();
      break;
    default:
      DoCommandError();
  }
  EndProcess(kExitDone);
}
