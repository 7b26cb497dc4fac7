#!/bin/sh
# Installs what pictor needs to build and test on Debian 12 (run as root): every tool that a
# stage of tools/test.sh uses.
set -eu
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  cmake make g++ pkg-config libopenexr-dev libgtest-dev openexr openimageio-tools \
  clang libclang-rt-14-dev groff-base dpkg-dev file lintian \
  crossbuild-essential-arm64 qemu-user >/dev/null
echo "install-deps: done"
