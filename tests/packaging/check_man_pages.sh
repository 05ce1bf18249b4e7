#!/bin/sh
# check_man_pages.sh SOURCE_DIR VERSION HUBSIM: the manual pages render without
# a single warning, carry the project's version, and hubsim(1) documents every
# option that "hubsim --help" lists.
source_dir=$1
version=$2
hubsim=$3
status=0
fail() { echo "FAIL: $*"; status=1; }

for tool in man groff; do
  command -v $tool >/dev/null 2>&1 ||
    { echo "SKIP: $tool is not installed (man-db, groff-base)"; exit 77; }
done

for page in "$source_dir/doc/nexli.1" "$source_dir/doc/hubsim.1"; do
  name=$(basename "$page" .1)
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man --warnings $name.1:" "$warnings"
  warnings=$(groff -man -ww -z "$page" 2>&1)
  [ -z "$warnings" ] || fail "groff -ww $name.1:" "$warnings"
  text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
  for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" ENVIRONMENT EXAMPLES "SEE ALSO"; do
    printf '%s\n' "$text" | grep -qx "$section" ||
      fail "$name.1 has no $section section"
  done
  head -n 1 "$page" | grep -q "\"nexli $version\"" ||
    fail "$name.1: .TH does not name nexli $version: $(head -n 1 "$page")"
done

# Every option of hubsim's help is a tag of hubsim(1).
options=$("$hubsim" --help | grep -o -- '--[a-z][a-z0-9-]*' | sort -u)
[ -n "$options" ] || fail "no option found in hubsim --help"
text=$(MANWIDTH=200 man -l "$source_dir/doc/hubsim.1" 2>/dev/null)
count=0
for option in $options; do
  count=$((count + 1))
  printf '%s\n' "$text" | grep -Eq -- "^ {7}$option( |\$)" ||
    fail "hubsim(1) does not document $option"
done
echo "hubsim options checked: $count"
[ $status -eq 0 ] && echo "manual pages: no warnings"
exit $status
