#!/bin/sh
# check_deb.sh CPACK BUILD_DIR SOURCE_DIR VERSION: "cpack -G DEB" makes
# nexli_VERSION_ARCH.deb, which holds exactly the installed files under /usr,
# the licence as its copyright file among them, is described right, depends on
# nothing but libc6, libstdc++6 and libgcc-s1, whose changelog names VERSION,
# whose programs run, and of which lintian has nothing to say but the
# package's own overrides.
cpack=$1
build_dir=$2
source_dir=$3
version=$4
for tool in "$cpack" dpkg dpkg-deb dpkg-shlibdeps dpkg-parsechangelog lintian; do
  command -v "$tool" >/dev/null 2>&1 ||
    { echo "SKIP: $tool is not installed (cmake, dpkg-dev, lintian)"; exit 77; }
done
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

if ! "$cpack" -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work" \
    >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack -G DEB"
  exit 1
fi
arch=$(dpkg --print-architecture)
deb=$work/nexli_${version}_$arch.deb
[ -f "$deb" ] || { ls "$work"; echo "FAIL: no $deb"; exit 1; }

# The files, as dpkg -c lists them (directories left out).
dpkg-deb -c "$deb" >"$work/contents" || fail "dpkg-deb -c"
files=$(grep -v '^d' "$work/contents" | awk '{ print $NF }' | LC_ALL=C sort)
expected=$(sed 's|^|./usr/|' "$source_dir/tests/packaging/installed-files")
[ "$files" = "$expected" ] || fail "the package holds other files:" "$files"

# The control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = nexli ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] ||
  fail "Architecture: $(field Architecture)"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
field Description | grep -q 'Managed USB Hub' ||
  fail "Description: $(field Description)"
depends=$(field Depends)
echo "Depends: $depends"
names=$(echo "$depends" | tr ',' '\n' | sed 's/(.*)//; s/ //g' | LC_ALL=C sort)
for name in $names; do
  case $name in
    libc6 | libstdc++6 | libgcc-s1) ;;
    *) fail "unexpected dependency $name" ;;
  esac
done
for name in libc6 libstdc++6; do
  echo "$names" | grep -qx "$name" || fail "Depends lacks $name"
done

# The packaged programs and pages.
dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x"
usr=$work/root/usr
cmp -s "$usr/share/doc/nexli/copyright" "$source_dir/LICENSE" ||
  fail "/usr/share/doc/nexli/copyright is not LICENSE"
grep -q '^MIT License$' "$usr/share/doc/nexli/copyright" ||
  fail "the copyright file does not name the MIT licence"
mode=$(stat -c %a "$usr/share/doc/nexli/copyright")
[ "$mode" = 644 ] || fail "the copyright file has mode $mode, not 644"
"$usr/bin/nexli" '/?' | cmp -s - "$source_dir/tests/golden/help.txt" ||
  fail "the packaged nexli does not print the help"
for page in nexli hubsim; do
  gzip -dc "$usr/share/man/man1/$page.1.gz" |
    cmp -s - "$source_dir/doc/$page.1" ||
    fail "the package's $page.1.gz is not doc/$page.1"
done
gzip -dc "$usr/share/doc/nexli/changelog.gz" >"$work/changelog"
latest=$(dpkg-parsechangelog -l "$work/changelog" -S Version)
[ "$latest" = "$version" ] || fail "the changelog's latest version is $latest"

# Debian's package checker: any error, warning, info or pedantic tag fails;
# the overrides, each given its reason, it keeps to itself.
tags=$(lintian --pedantic -I --fail-on error,warning,info,pedantic "$deb" 2>"$work/lintian")
[ $? -eq 0 ] && [ -z "$tags" ] || fail "lintian:" "$tags" "$(cat "$work/lintian")"
out=$("$usr/bin/hubsim" --hub 2 --ports 12 -- "$usr/bin/nexli" /Q -F 2>&1)
result=$?
if [ $result -ne 77 ]; then
  { [ $result -eq 0 ] && [ "$out" = 0001ttyUSB2 ]; } ||
    fail "scan with the packaged programs (status $result): $out"
fi
[ $status -eq 0 ] && echo "$(basename "$deb"): $(echo "$files" | wc -l) files"
exit $status
