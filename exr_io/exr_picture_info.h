// What a picture says of itself beside its pixels, as OpenEXR holds it: its colour primaries
// (the chromaticities attribute) and its pixel aspect (pixelAspectRatio).
#ifndef PICTOR_EXR_IO_EXR_PICTURE_INFO_H
#define PICTOR_EXR_IO_EXR_PICTURE_INFO_H

struct ExrPictureInfo {
    bool has_primaries = false;
    float primaries[8] = {};     // chromaticities x, y of red, green, blue and white
    float pixel_aspect = 0.0f;   // width / height of a pixel; 0 when the picture does not say
};

#endif
