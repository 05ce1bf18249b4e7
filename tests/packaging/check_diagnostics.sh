#!/bin/sh
# check_diagnostics.sh SOURCE_DIR: every message the programs in src/ can
# print has its entry (".B message") in the DIAGNOSTICS section of nexli(1),
# and every entry there is a message that src/ still prints.
#
# Messages are the string literals given to RetError() and RetUsageError(),
# the named string constants (kQueryErr = "Query Err"; protocol constants
# excepted), and the messages handed to SendPasswordRequest().
source_dir=$1
page=$source_dir/doc/nexli.1
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

# The sources as one line each, so that calls broken over lines match.
for file in "$source_dir"/src/*.cpp; do
  tr '\n' ' ' <"$file" | tr -s ' '
  echo
done >"$work/joined"

grep -o 'Ret\(Usage\)\{0,1\}Error("[^"]*")' "$work/joined" |
  sed 's/^Ret[A-Za-z]*Error("//; s/")$//' >"$work/returned"
# Strings of the protocol and of the port lock, never printed: "OK", the
# identity, "E01", the lock statuses and the
# default password.
grep -o 'const char\* const k[A-Za-z]* = "[^"]*"' "$work/joined" |
  grep -Ev ' k(StatusOK|HubIdentity|WrongPassword|DefaultPassword|PortUnopened|PortHeld) = ' |
  sed 's/^[^"]*"//; s/"$//' >"$work/constants"
grep -o 'SendPasswordRequest("[A-Z]*", "[^"]*", "[^"]*")' "$work/joined" |
  sed 's/^SendPasswordRequest("[A-Z]*", "//; s/")$//; s/", "/\n/' \
  >"$work/handed"

for kind in returned constants handed; do
  # Each way of printing a message must still be found, or this test would
  # quietly check nothing.
  [ -s "$work/$kind" ] || fail "no message found among the $kind ones"
done
sort -u "$work/returned" "$work/constants" "$work/handed" >"$work/messages"
echo "messages in src/: $(wc -l <"$work/messages")"

# The entries of DIAGNOSTICS: the ".B" line after each ".TP".
sed -n '/^\.SH DIAGNOSTICS/,/^\.SH /p' "$page" |
  awk 'previous == ".TP" && /^\.B / { print substr($0, 4) } { previous = $0 }' |
  sort >"$work/documented"
[ -s "$work/documented" ] || fail "nexli(1) has no DIAGNOSTICS entries"

while IFS= read -r message; do
  grep -Fxq -- "$message" "$work/documented" ||
    fail "\"$message\" is printed by src/ but not documented in DIAGNOSTICS"
done <"$work/messages"
while IFS= read -r entry; do
  grep -Fxq -- "$entry" "$work/messages" ||
    fail "DIAGNOSTICS documents \"$entry\", which src/ does not print"
done <"$work/documented"
[ $status -eq 0 ] && echo "every message is documented"
exit $status
