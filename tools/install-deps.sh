#!/bin/sh
# Installs what pictor needs to build and test on Debian 12 (run as root).
set -eu
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  cmake make g++ pkg-config libopenexr-dev libgtest-dev openexr openimageio-tools \
  clang-14 libclang-rt-14-dev groff-base dpkg-dev file >/dev/null
echo "install-deps: done"
