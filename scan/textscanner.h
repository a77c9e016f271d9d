// A cursor over a run of bytes: literals, searches and integers, no allocation.
#ifndef TEXTSCANNER_H
#define TEXTSCANNER_H

#include <cstdint>

enum ScanResult { ScanOk = 0, ScanMismatch = 1, ScanEndOfData = 2 };

struct TextScanner
{
    const char *data;
    std::uint32_t length;
    std::uint32_t pos;

    void init(const char *data, std::uint32_t length);
    std::uint32_t position() const;
    int matchBytes(const char *bytes, std::uint32_t count);
    int matchLiteral(const char *text);
    int skipPast(const char *text);
    int readInteger(std::int32_t *value);
    int readBinaryDigits(std::uint32_t start, std::int32_t *value);
    int readDecimalDigits(std::uint32_t start, std::int32_t *value);
    int readHexDigits(std::uint32_t start, std::int32_t *value);
};

#endif // TEXTSCANNER_H
