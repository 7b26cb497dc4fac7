#!/bin/sh
# Builds the two programs (and the program that draws a picture), draws a picture, and converts
# it to OpenEXR and back, in demo/.
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DPICTOR_BENCH=ON >/dev/null
cmake --build build-demo -j"$(nproc)" --target pictor_tohalf pictor_fromhalf pictor_make_picture >/dev/null
mkdir -p demo
cd demo
../build-demo/bench/pictor_make_picture 1024 512 scene.hdr
echo "== pictor_tohalf -i scene.hdr -o scene.exr"
../build-demo/pictor_tohalf -i scene.hdr -o scene.exr
echo "== exrheader scene.exr"
exrheader scene.exr | grep -E "compression|dataWindow|lineOrder|channels|16-bit"
echo "== pictor_fromhalf -i scene.exr -o back.hdr"
../build-demo/pictor_fromhalf -i scene.exr -o back.hdr
echo "== files in $(pwd)"
ls -l scene.hdr scene.exr back.hdr inscanline_out.raw
