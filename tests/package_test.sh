#!/usr/bin/env bash
# Builds the Debian package from an already-built tree and checks what a user would get from
# `apt install ./kelvane_*.deb`: the control fields, exactly the files meant to be installed,
# and, unpacked into a temporary root, a program that starts and a manual page, menu entry and
# icon that are well formed and match it.
#
#   tests/package_test.sh BUILD_DIR VERSION
set -euo pipefail

build_dir="$1"
version="$2"
work="$(mktemp -d /tmp/kelvane-package.XXXXXX)"
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

if ! cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  echo "FAIL: cpack did not build the package" >&2
  exit 1
fi
debs=("$work"/out/*.deb)
if ((${#debs[@]} != 1)) || [[ ! -f "${debs[0]}" ]]; then
  echo "FAIL: expected one .deb, found: ${debs[*]}" >&2
  exit 1
fi
deb="${debs[0]}"
arch="$(dpkg --print-architecture)"
[[ "$(basename "$deb")" == "kelvane_${version}_${arch}.deb" ]] ||
  fail "package file is named $(basename "$deb"), not kelvane_${version}_${arch}.deb"

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[[ "$(field Package)" == kelvane ]] || fail "Package is '$(field Package)'"
[[ "$(field Version)" == "$version" ]] || fail "Version is '$(field Version)', not $version"
[[ "$(field Architecture)" == "$arch" ]] || fail "Architecture is '$(field Architecture)'"
[[ -n "$(field Maintainer)" ]] || fail "no Maintainer"
[[ -n "$(field Description)" ]] || fail "no Description"
depends="$(field Depends)"
# One name per line, without version constraints or alternatives' bars.
depend_names="$(tr ',|' '\n' <<<"$depends" | sed -E 's/\(.*\)//; s/^ +//; s/ +$//' | sort -u)"
for needed in libc6 libstdc++6 libqt6core6 libqt6widgets6 libmariadb3 qt6-qpa-plugins; do
  grep -qxF "$needed" <<<"$depend_names" || fail "Depends lacks $needed: $depends"
done
if grep -E -- '-dev$|gtest|gmock|asan|ubsan' <<<"$depend_names"; then
  fail "Depends names build-time packages: $depends"
fi
dpkg-deb -I "$deb" >"$work/info.txt" || fail "dpkg-deb -I cannot read the package"

# Exactly these files, owned by root, the program executable and nothing else.
dpkg-deb -c "$deb" >"$work/contents.txt"
expected="./usr/bin/kelvane
./usr/share/applications/kelvane.desktop
./usr/share/doc/kelvane/README.md
./usr/share/icons/hicolor/scalable/apps/kelvane.svg
./usr/share/man/man1/kelvane.1.gz"
actual="$(awk '$1 !~ /^d/ { print $6 }' "$work/contents.txt" | sort)"
if [[ "$actual" != "$expected" ]]; then
  fail "the package holds other files than expected:"
  diff <(echo "$expected") <(echo "$actual") >&2 || true
fi
while read -r mode owner _ _ _ path _; do
  [[ "$mode" == d* ]] && continue
  [[ "$owner" == root/root ]] || fail "$path is owned by $owner"
  want=-rw-r--r--
  [[ "$path" == ./usr/bin/* ]] && want=-rwxr-xr-x
  [[ "$mode" == "$want" ]] || fail "$path has mode $mode, not $want"
done <"$work/contents.txt"

# Unpacked, as apt would lay it out.
root="$work/root"
dpkg -x "$deb" "$root"
program="$root/usr/bin/kelvane"
if [[ -x "$program" ]]; then
  if out="$("$program" --version 2>&1)"; then
    [[ "$out" == "kelvane $version" ]] || fail "--version printed '$out'"
  else
    fail "the unpacked program did not start: $out"
  fi
  file -b "$program" | grep -q ', stripped' || fail "the program is not stripped: $(file -b "$program")"
  help="$("$program" --help 2>&1)" || fail "--help failed: $help"
else
  fail "no executable usr/bin/kelvane"
  help=""
fi

# The manual page renders without warnings and documents every option --help lists.
page="$root/usr/share/man/man1/kelvane.1.gz"
if [[ -f "$page" ]]; then
  zcat "$page" >"$work/kelvane.1"
  grep -q '^\.TH KELVANE 1 ' "$work/kelvane.1" || fail "the manual page is not KELVANE(1)"
  grep -qF "Kelvane $version" "$work/kelvane.1" || fail "the manual page does not name $version"
  warnings="$(groff -man -ww -z "$work/kelvane.1" 2>&1)" || true
  [[ -z "$warnings" ]] || fail "groff warns about the manual page: $warnings"
  while read -r option; do
    grep -qF "${option//-/\\-}" "$work/kelvane.1" || fail "the manual page lacks $option"
  done < <(grep -oE '^ +--[a-z][a-z-]*' <<<"$help" | tr -d ' ' | sort -u)
  for section in "EXIT STATUS" OPTIONS ENVIRONMENT FILES; do
    grep -qx "\.SH $section" "$work/kelvane.1" || fail "the manual page has no $section section"
  done
  for status in 0 1 2; do
    grep -qx "\.B $status" "$work/kelvane.1" || fail "the manual page does not explain exit $status"
  done
else
  fail "no manual page"
fi

# The menu entry starts the installed program and finds the installed icon.
desktop="$root/usr/share/applications/kelvane.desktop"
if [[ -f "$desktop" ]]; then
  if command -v desktop-file-validate >/dev/null; then
    problems="$(desktop-file-validate "$desktop" 2>&1)" || fail "desktop-file-validate: $problems"
  fi
  entry() { sed -n "s/^$1=//p" "$desktop"; }
  exec_line="$(entry Exec)"
  [[ -x "$root/usr/bin/${exec_line%% *}" ]] || fail "Exec=$exec_line is not the installed program"
  [[ -f "$root/usr/share/icons/hicolor/scalable/apps/$(entry Icon).svg" ]] ||
    fail "Icon=$(entry Icon) names no installed icon"
  for category in Office Database; do
    [[ ";$(entry Categories)" == *";$category;"* ]] || fail "Categories lacks $category"
  done
else
  fail "no desktop entry"
fi
icon="$root/usr/share/icons/hicolor/scalable/apps/kelvane.svg"
if [[ -f "$icon" ]] && command -v python3 >/dev/null; then
  python3 - "$icon" <<'PY' || fail "the icon is not a well-formed SVG"
import sys
import xml.etree.ElementTree as tree
root = tree.parse(sys.argv[1]).getroot()
sys.exit(0 if root.tag == "{http://www.w3.org/2000/svg}svg" else 1)
PY
fi

if ((failures > 0)); then
  echo "package test: $failures problem(s) in $(basename "$deb")" >&2
  exit 1
fi
echo "package test: $(basename "$deb") is complete ($(wc -l <<<"$actual") files; Depends: $depends)"
