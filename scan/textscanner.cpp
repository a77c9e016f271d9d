// A cursor over a run of bytes: literals, searches and integers, no allocation.
#include "scan/textscanner.h"

#include <cstring>

namespace {

// Value of the byte as a digit of the base, or -1. Bytes from 0x80 up are never digits, whatever
// the signedness of char.
int digitValue(unsigned char c, unsigned base)
{
    int v = -1;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return v >= 0 && static_cast<unsigned>(v) < base ? v : -1;
}

bool isHexPrefix(char c)
{
    return c == 'h' || c == 'H' || c == 'x' || c == 'X';
}

bool isBinaryPrefix(char c)
{
    return c == 'b' || c == 'B';
}

int readDigits(TextScanner &s, std::uint32_t k, unsigned base, std::int32_t *value)
{
    if (k >= s.length || digitValue(static_cast<unsigned char>(s.data[k]), base) < 0)
        return ScanMismatch;
    std::uint32_t v = 0;
    int d;
    while (k < s.length && (d = digitValue(static_cast<unsigned char>(s.data[k]), base)) >= 0) {
        v = v * base + static_cast<std::uint32_t>(d); // wraps modulo 2^32 by design
        ++k;
    }
    s.pos = k;
    if (value)
        *value = static_cast<std::int32_t>(v);
    return ScanOk;
}

} // namespace

void TextScanner::init(const char *d, std::uint32_t n)
{
    data = d;
    length = n;
    pos = 0;
}

std::uint32_t TextScanner::position() const
{
    return pos;
}

int TextScanner::matchBytes(const char *bytes, std::uint32_t count)
{
    // Written so that neither pos + count nor length - pos can wrap, even if a caller set pos.
    if (pos > length || count > length - pos)
        return ScanEndOfData;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (data[pos + i] != bytes[i])
            return ScanMismatch;
    }
    pos += count;
    return ScanOk;
}

int TextScanner::matchLiteral(const char *text)
{
    const std::size_t n = std::strlen(text);
    if (n == 0)
        return ScanOk;
    // Compared in size_t first: a text longer than 4 GiB must not be truncated to a short count.
    if (pos > length || n > length - pos)
        return ScanEndOfData;
    return matchBytes(text, static_cast<std::uint32_t>(n));
}

int TextScanner::skipPast(const char *text)
{
    const std::size_t n = std::strlen(text);
    if (n == 0)
        return ScanOk;
    if (n > length)
        return ScanMismatch;
    const std::uint32_t lastStart = length - static_cast<std::uint32_t>(n);
    for (std::uint32_t s = pos; s <= lastStart; ++s) {
        std::size_t i = 0;
        while (i < n && data[s + i] == text[i])
            ++i;
        if (i == n) {
            pos = s + static_cast<std::uint32_t>(n);
            return ScanOk;
        }
    }
    return ScanMismatch;
}

int TextScanner::readInteger(std::int32_t *value)
{
    if (pos >= length)
        return ScanEndOfData;
    std::uint32_t i = pos;
    if (data[i] == '+')
        ++i;
    if (i >= length)
        return ScanEndOfData;

    const char c = data[i];
    const bool hasNext = length - i > 1;
    const char next = hasNext ? data[i + 1] : '\0';
    if (isHexPrefix(c))
        return readHexDigits(i + 1, value);
    if (c == '0' && hasNext && isHexPrefix(next))
        return readHexDigits(i + 2, value);
    if (c == '0' && hasNext && isBinaryPrefix(next))
        return readBinaryDigits(i + 2, value);
    if (isBinaryPrefix(c))
        return readBinaryDigits(i + 1, value);
    return readDecimalDigits(i, value);
}

int TextScanner::readBinaryDigits(std::uint32_t start, std::int32_t *value)
{
    return readDigits(*this, start, 2, value);
}

int TextScanner::readDecimalDigits(std::uint32_t start, std::int32_t *value)
{
    return readDigits(*this, start, 10, value);
}

int TextScanner::readHexDigits(std::uint32_t start, std::int32_t *value)
{
    return readDigits(*this, start, 16, value);
}
