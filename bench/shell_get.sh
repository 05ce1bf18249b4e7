#!/bin/bash
# What a user might script instead of `nexli /G:ttyUSBn`: set the line up with
# stty, identify the hub with "?Q", then read its port states with "GP", using
# nothing but bash builtins and stty. Prints the identity line and the state
# field (8 hex digits, ports 1-8 first), or exits 1.
#
#   bench/shell_get.sh /dev/ttyUSB0
#   TORVAN     8101
#   A6000000
dev=${1:-/dev/ttyUSB0}
stty -F "$dev" 9600 cs8 -parenb -cstopb raw -echo || exit 1
exec 3<>"$dev" || exit 1
printf '?Q\r' >&3
IFS= read -r -t 11 id <&3 || exit 1
[[ $id == TORVAN* ]] || exit 1
printf 'GP\r' >&3
IFS= read -r -t 11 states <&3 || exit 1
exec 3<&-
printf '%s\n%s\n' "${id%$'\r'}" "${states%$'\r'}"
