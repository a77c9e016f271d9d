// Placeholder until the scanner is written.
#include "scan/textscanner.h"

void TextScanner::init(const char *d, std::uint32_t n)
{
    data = d;
    length = n;
    pos = 0;
}
std::uint32_t TextScanner::position() const { return pos; }
int TextScanner::matchBytes(const char *, std::uint32_t) { return ScanMismatch; }
int TextScanner::matchLiteral(const char *) { return ScanMismatch; }
int TextScanner::skipPast(const char *) { return ScanMismatch; }
int TextScanner::readInteger(std::int32_t *) { return ScanMismatch; }
int TextScanner::readBinaryDigits(std::uint32_t, std::int32_t *) { return ScanMismatch; }
int TextScanner::readDecimalDigits(std::uint32_t, std::int32_t *) { return ScanMismatch; }
int TextScanner::readHexDigits(std::uint32_t, std::int32_t *) { return ScanMismatch; }
