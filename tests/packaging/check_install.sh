#!/bin/sh
# check_install.sh BUILD_DIR SOURCE_DIR NEXLI HUBSIM: "cmake --install" into a
# scratch prefix puts exactly the files of installed-files (the programs, the
# manual pages, the shell completions, the README, changelog and guides, the
# examples, lintian's overrides and the licence), copies of what was built and
# of the sources, and the installed programs run.
build_dir=$1
source_dir=$2
nexli=$3
hubsim=$4
prefix=$(mktemp -d) || exit 1
trap 'rm -rf "$prefix"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

if ! cmake --install "$build_dir" --prefix "$prefix" >"$prefix.log" 2>&1; then
  cat "$prefix.log"
  rm -f "$prefix.log"
  echo "FAIL: cmake --install"
  exit 1
fi
rm -f "$prefix.log"

expected=$(cat "$source_dir/tests/packaging/installed-files")
installed=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
[ "$installed" = "$expected" ] ||
  fail "installed files differ from the expected ones:" "$installed"

same() {  # same INSTALLED ORIGINAL MODE
  cmp -s "$prefix/$1" "$2" || fail "$1 is not a copy of $2"
  mode=$(stat -c %a "$prefix/$1" 2>/dev/null)
  [ "$mode" = "$3" ] || fail "$1 has mode $mode, not $3"
}
same bin/nexli "$nexli" 755
same bin/hubsim "$hubsim" 755
same share/bash-completion/completions/nexli \
  "$source_dir/contrib/bash-completion/nexli" 644
same share/zsh/vendor-completions/_nexli "$source_dir/contrib/zsh-completion/_nexli" 644
same share/fish/vendor_completions.d/nexli.fish \
  "$source_dir/contrib/fish-completion/nexli.fish" 644
same share/doc/nexli/README.md "$source_dir/README.md" 644
for guide in "$source_dir"/doc/*.md; do
  same "share/doc/nexli/${guide##*/}" "$guide" 644
done
for example in $(cd "$prefix/share/doc/nexli/examples" && find . -type f); do
  same "share/doc/nexli/examples/$example" "$source_dir/contrib/$example" 644
done
same share/doc/nexli/copyright "$source_dir/LICENSE" 644
same share/lintian/overrides/nexli "$source_dir/cmake/nexli.lintian-overrides" 644
gzip -dc "$prefix/share/doc/nexli/changelog.gz" | cmp -s - "$source_dir/CHANGELOG" ||
  fail "share/doc/nexli/changelog.gz is not CHANGELOG compressed"
for page in nexli hubsim; do
  gzip -dc "$prefix/share/man/man1/$page.1.gz" |
    cmp -s - "$source_dir/doc/$page.1" ||
    fail "share/man/man1/$page.1.gz is not doc/$page.1 compressed"
done

# The installed nexli prints its help, the installed hubsim runs a scan.
bin=$prefix/bin
"$bin/nexli" '/?' | cmp -s - "$source_dir/tests/golden/help.txt" ||
  fail "the installed nexli does not print the help: $("$bin/nexli" '/?' | head -n 1)"
out=$("$bin/hubsim" --hub 0 --hub 3 --ports 4 -- "$bin/nexli" /Q 2>&1)
result=$?
if [ $result -eq 77 ]; then
  echo "hubsim cannot make its sandbox here: $out"
  if [ $status -eq 0 ]; then
    echo "SKIP: the scan with the installed hubsim"
    exit 77
  fi
else
  want="ttyUSB0, 8 ports, On=None, Off=1,2,3,4,5,6,7,8, FW=101
ttyUSB3, 4 ports, On=None, Off=1,2,3,4, FW=101
2 Managed USB Hub(s) Found."
  { [ $result -eq 0 ] && [ "$out" = "$want" ]; } ||
    fail "scan with the installed programs (status $result):" "$out"
fi
[ $status -eq 0 ] && echo "installed: $(echo "$installed" | tr '\n' ' ')"
exit $status
