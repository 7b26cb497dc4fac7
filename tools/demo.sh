#!/bin/sh
# Builds pictor, draws a picture of its own, and converts it to OpenEXR and back.
set -eu
cd "$(dirname "$0")/.."
tools/build.sh >/dev/null
mkdir -p demo
cd demo
../build/bench/pictor_make_picture 1024 512 scene.hdr
echo "== pictor_tohalf -i scene.hdr -o scene.exr"
../build/pictor_tohalf -i scene.hdr -o scene.exr
echo "== exrheader scene.exr"
exrheader scene.exr | grep -E "compression|dataWindow|lineOrder|channels|16-bit"
echo "== pictor_fromhalf -i scene.exr -o back.hdr"
../build/pictor_fromhalf -i scene.exr -o back.hdr
echo "== files in $(pwd)"
ls -l scene.hdr scene.exr back.hdr inscanline_out.raw
