// OpenEXR files written and read straight through the library, for the tests.
#ifndef PICTOR_TESTS_EXR_SUPPORT_H
#define PICTOR_TESTS_EXR_SUPPORT_H

#include <ImfCRgbaFile.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Writes an RGBA half file straight through the library, with any data window.
inline void write_halves(const std::string &path, int xmin, int ymin, int width, int height,
                  const std::vector<ImfRgba> &pixels, int compression = IMF_PIZ_COMPRESSION)
{
    ImfHeader *header = ImfNewHeader();
    ImfHeaderSetDataWindow(header, xmin, ymin, xmin + width - 1, ymin + height - 1);
    ImfHeaderSetDisplayWindow(header, xmin, ymin, xmin + width - 1, ymin + height - 1);
    ImfHeaderSetCompression(header, compression);
    ImfOutputFile *out = ImfOpenOutputFile(path.c_str(), header, IMF_WRITE_RGBA);
    ImfDeleteHeader(header);
    ASSERT_NE(nullptr, out) << ImfErrorMessage();
    const ImfRgba *base = pixels.data() - xmin - (ptrdiff_t)ymin * width;
    ASSERT_TRUE(ImfOutputSetFrameBuffer(out, base, 1, width));
    ASSERT_TRUE(ImfOutputWritePixels(out, height));
    ASSERT_TRUE(ImfCloseOutputFile(out));
}

// Reads a whole RGBA file back through the library.
struct HalfPicture {
    int xmin, ymin, xmax, ymax, compression, line_order;
    std::vector<ImfRgba> pixels;
};

inline HalfPicture read_halves(const std::string &path)
{
    HalfPicture p = {};
    ImfInputFile *in = ImfOpenInputFile(path.c_str());
    EXPECT_NE(nullptr, in);
    if (!in)
        return p;
    const ImfHeader *header = ImfInputHeader(in);
    ImfHeaderDataWindow(header, &p.xmin, &p.ymin, &p.xmax, &p.ymax);
    p.compression = ImfHeaderCompression(header);
    p.line_order = ImfHeaderLineOrder(header);
    int width = p.xmax - p.xmin + 1, height = p.ymax - p.ymin + 1;
    p.pixels.resize((size_t)width * height);
    ImfInputSetFrameBuffer(in, p.pixels.data() - p.xmin - (ptrdiff_t)p.ymin * width, 1, width);
    EXPECT_TRUE(ImfInputReadPixels(in, p.ymin, p.ymax));
    ImfCloseInputFile(in);
    return p;
}

inline ImfHalf half_of(float value)
{
    ImfHalf h;
    ImfFloatToHalf(value, &h);
    return h;
}

}  // namespace

#endif
