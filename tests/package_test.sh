#!/bin/bash
# The Debian package and the manual pages: every page renders without a warning, the package
# built by CPack holds both programs, both pages, the copyright file and the changelog, with
# computed dependencies, lintian finds nothing to warn of and no hardening missing, and its
# programs convert a picture each way.
#   tests/package_test.sh BUILD_FOLDER VERSION
set -eu
build=$1 version=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/pictor_package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }

lint() {  # lint PAGE: groff's warnings, which must be none
  local warnings
  warnings=$(groff -man -ww -z "$1" 2>&1) || fail "groff failed on $1"
  [ -z "$warnings" ] || fail "$1 renders with warnings: $warnings"
}
for program in pictor_tohalf pictor_fromhalf; do lint "$build/man/$program.1"; done

(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null) || fail "cpack failed"
deb="$work/out/pictor_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $deb"
[ "$(dpkg-deb -f "$deb" Package)" = pictor ] || fail "Package field"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version field"
dpkg-deb -f "$deb" Depends | grep -q 'libopenexr' || fail "Depends lacks the OpenEXR library"
[ "$(dpkg-deb -f "$deb" Description | wc -l)" -ge 2 ] || fail "no long description"

# Debian's own checker, where installed (CI installs it): no error and no warning.
if command -v lintian >/dev/null 2>&1; then
  lintian --fail-on error,warning "$deb" >"$work/lintian.txt" 2>&1 || fail "lintian: $(cat "$work/lintian.txt")"
  # and, among its remarks, nothing of hardening: the programs are built as Debian's are
  ! lintian -I --pedantic "$deb" 2>&1 | grep hardening || fail "lintian finds hardening missing"
elif [ "${CI:-}" = true ]; then
  fail "lintian is not installed"
fi

dpkg-deb -x "$deb" "$work/root"
grep -q '^License: BSD-3-Clause$' "$work/root/usr/share/doc/pictor/copyright" || fail "copyright file"
gunzip -t "$work/root/usr/share/doc/pictor/changelog.gz" || fail "changelog.gz"
bin=$work/root/usr/bin
for program in pictor_tohalf pictor_fromhalf; do
  page="$work/root/usr/share/man/man1/$program.1.gz"
  [ -f "$page" ] || fail "$page missing"
  gunzip -c "$page" >"$work/$program.1" && lint "$work/$program.1"
  [ "$("$bin/$program" --version)" = "$program $version" ] || fail "$program --version"
done

# A 2 x 2 picture of exact values, there and back.
cd "$work"
printf '#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 2\n\x80\x40\x20\x81\xc8\x64\x32\x82\xff\x01\x80\x88\x80\xff\x07\x78' >in.hdr
"$bin/pictor_tohalf" -i in.hdr -o in.exr >/dev/null 2>&1 || fail "pictor_tohalf failed"
"$bin/pictor_fromhalf" -i in.exr -o back.hdr >/dev/null 2>&1 || fail "pictor_fromhalf failed"
cmp -s in.hdr back.hdr || fail "the picture did not come back whole"
echo "package test: $(basename "$deb") passed"
