#!/bin/sh
# Installs what pictor needs to build and test on Debian 12 (run as root): every tool that a
# stage of tools/test.sh uses, and for the arm64 build of tools/cross-test.sh the arm64
# development files of OpenEXR, Imath, zlib and GoogleTest, unpacked into
# build-arm64-sysroot/ (they can't be installed beside the amd64 ones).
set -eu
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  cmake make g++ pkg-config libopenexr-dev libgtest-dev openexr openimageio-tools \
  clang libclang-rt-14-dev groff-base dpkg-dev file lintian \
  crossbuild-essential-arm64 qemu-user >/dev/null
sysroot=$(pwd)/build-arm64-sysroot
debs=$(mktemp -d)
chmod 755 "$debs"  # apt downloads as its own user
(cd "$debs" && apt-get download -qq libopenexr-dev:arm64 libopenexr-3-1-30:arm64 \
  libimath-dev:arm64 libimath-3-1-29:arm64 zlib1g-dev:arm64 zlib1g:arm64 libgtest-dev:arm64)
rm -rf "$sysroot"
for deb in "$debs"/*.deb; do dpkg -x "$deb" "$sysroot"; done
rm -rf "$debs"
echo "install-deps: done"
