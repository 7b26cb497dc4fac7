# Sourced by the benchmark scripts: photo_picture WIDTH HEIGHT OUT.hdr writes a photographic
# picture of that size (a corpus photograph resized by oiiotool and tiled), or pictor's own
# scene without the corpus or oiiotool. Needs $build and $corpus; works in the current folder.
photo_picture() {
  if [ -f "$corpus/hdr/ScanLines_Desk.oiio.hdr" ] && command -v oiiotool >/dev/null; then
    oiiotool "$corpus/hdr/ScanLines_Desk.oiio.hdr" --resize 4096x2048 -o photo.hdr
    "$build/bench/pictor_make_picture" "$1" "$2" "$3" photo.hdr
  else
    "$build/bench/pictor_make_picture" "$1" "$2" "$3"
  fi
}
