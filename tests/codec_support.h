// Streams over bytes for the codec tests.
#ifndef PICTOR_TESTS_CODEC_SUPPORT_H
#define PICTOR_TESTS_CODEC_SUPPORT_H

#include <cstdio>
#include <functional>
#include <string>

#include <gtest/gtest.h>

// What the codec prints when the data ends early.
const char READ_AT_END[] = "RGBE read error: unexpected end of file\n";

// A read stream over a copy of bytes (kept alive by the object).
struct ByteReader {
    explicit ByteReader(const std::string &bytes) : data(bytes)
    {
        stream = data.empty() ? fopen("/dev/null", "rb")
                              : fmemopen(&data[0], data.size(), "rb");
    }
    ~ByteReader() { fclose(stream); }
    long position() { return ftell(stream); }
    std::string data;
    FILE *stream;
};

// Runs write on a fresh stream and returns what it wrote.
inline std::string written_bytes(const std::function<void(FILE *)> &write)
{
    char *buffer = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    write(stream);
    fclose(stream);
    std::string bytes(buffer, size);
    free(buffer);
    return bytes;
}

// Runs body and returns what it printed on stderr.
inline std::string captured_stderr(const std::function<void()> &body)
{
    testing::internal::CaptureStderr();
    body();
    return testing::internal::GetCapturedStderr();
}

// An unbuffered stream on /dev/full: every write fails with ENOSPC.
inline FILE *full_stream()
{
    FILE *stream = fopen("/dev/full", "wb");
    setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

#endif
