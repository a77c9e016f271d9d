// The byte scanner: matching, searching and integer reading, and what failures leave behind.
#include "scan/textscanner.h"

#include <QtTest>

#include <climits>
#include <cstring>
#include <memory>

namespace {

// A value no successful read in these tests produces, to show a failed read wrote nothing.
constexpr std::int32_t untouched = 0x5A5A5A5A;

// Keeps embedded zero bytes that a plain const char * conversion would cut off.
template<std::size_t N> QByteArray raw(const char (&s)[N])
{
    return QByteArray(s, int(N - 1));
}

// A copy in an allocation of exactly its size and without a terminator, so a read past the end
// is an out-of-bounds access that the sanitized build of this test reports.
class ExactBytes
{
public:
    explicit ExactBytes(const QByteArray &bytes)
        : m_size(std::uint32_t(bytes.size()))
        , m_bytes(new char[m_size])
    {
        std::memcpy(m_bytes.get(), bytes.constData(), m_size);
    }
    const char *data() const { return m_bytes.get(); }
    std::uint32_t size() const { return m_size; }

private:
    std::uint32_t m_size;
    std::unique_ptr<char[]> m_bytes;
};

TextScanner scannerAt(const ExactBytes &bytes, uint pos)
{
    TextScanner s;
    s.init(bytes.data(), bytes.size());
    s.pos = pos;
    return s;
}

// matchLiteral and skipPast take the same arguments, so their rows share columns and checks.
void addTextColumns()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<uint>("pos");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("result");
    QTest::addColumn<uint>("endPos");
}

void checkTextOperation(int (TextScanner::*operation)(const char *))
{
    QFETCH(QByteArray, data);
    QFETCH(uint, pos);
    QFETCH(QByteArray, text);
    QFETCH(int, result);
    QFETCH(uint, endPos);

    const ExactBytes bytes(data);
    TextScanner s = scannerAt(bytes, pos);
    QCOMPARE((s.*operation)(text.constData()), result);
    QCOMPARE(s.position(), endPos);
}

} // namespace

class tst_TextScanner : public QObject
{
    Q_OBJECT

private slots:
    void matchBytes_data();
    void matchBytes();
    void matchLiteral_data();
    void matchLiteral();
    void skipPast_data();
    void skipPast();
    void readInteger_data();
    void readInteger();
    void readIntegerWithoutTarget_data() { readInteger_data(); }
    void readIntegerWithoutTarget();
    void digitReaders_data();
    void digitReaders();
};

void tst_TextScanner::matchBytes_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<uint>("pos");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<uint>("count");
    QTest::addColumn<int>("result");
    QTest::addColumn<uint>("endPos");

    QTest::newRow("count 0") << raw("ab") << 1u << QByteArray() << 0u << int(ScanOk) << 1u;
    QTest::newRow("count 0 at end") << raw("ab") << 2u << QByteArray() << 0u << int(ScanOk) << 2u;
    QTest::newRow("count 0, no data")
        << QByteArray() << 0u << QByteArray() << 0u << int(ScanOk) << 0u;
    QTest::newRow("all") << raw("abc") << 0u << raw("abc") << 3u << int(ScanOk) << 3u;
    QTest::newRow("middle") << raw("abcd") << 1u << raw("bc") << 2u << int(ScanOk) << 3u;
    QTest::newRow("first differs") << raw("abc") << 0u << raw("x") << 1u << int(ScanMismatch) << 0u;
    QTest::newRow("last differs") << raw("abc") << 0u << raw("abd") << 3u << int(ScanMismatch)
                                  << 0u;
    QTest::newRow("case differs") << raw("abc") << 0u << raw("aBc") << 3u << int(ScanMismatch)
                                  << 0u;
    QTest::newRow("short tail that differs")
        << raw("abc") << 1u << raw("xyz") << 3u << int(ScanEndOfData) << 1u;
    QTest::newRow("short tail that agrees")
        << raw("abc") << 1u << raw("bcd") << 3u << int(ScanEndOfData) << 1u;
    QTest::newRow("zero bytes are data")
        << raw("a\0b\0") << 0u << raw("a\0b\0") << 4u << int(ScanOk) << 4u;
    QTest::newRow("byte after a zero differs")
        << raw("a\0b") << 0u << raw("a\0c") << 3u << int(ScanMismatch) << 0u;
    QTest::newRow("high bytes") << raw("\x80\xff") << 0u << raw("\x80\xff") << 2u << int(ScanOk)
                                << 2u;
    // pos + count would wrap to 0 or 1 and pass a careless bounds test.
    QTest::newRow("huge count wraps to 0")
        << raw("abcd") << 2u << raw("cd") << 0xFFFFFFFEu << int(ScanEndOfData) << 2u;
    QTest::newRow("huge count wraps to 1")
        << raw("abcd") << 2u << raw("cd") << 0xFFFFFFFFu << int(ScanEndOfData) << 2u;
    QTest::newRow("largest count")
        << raw("abcd") << 0u << raw("abcd") << 0xFFFFFFFFu << int(ScanEndOfData) << 0u;
    QTest::newRow("position beyond the data")
        << raw("ab") << 5u << raw("a") << 1u << int(ScanEndOfData) << 5u;
}

void tst_TextScanner::matchBytes()
{
    QFETCH(QByteArray, data);
    QFETCH(uint, pos);
    QFETCH(QByteArray, expected);
    QFETCH(uint, count);
    QFETCH(int, result);
    QFETCH(uint, endPos);

    const ExactBytes bytes(data);
    const ExactBytes expectedBytes(expected);
    TextScanner s = scannerAt(bytes, pos);
    QCOMPARE(s.matchBytes(expectedBytes.data(), count), result);
    QCOMPARE(s.position(), endPos);
}

void tst_TextScanner::matchLiteral_data()
{
    addTextColumns();

    QTest::newRow("empty text, no data") << QByteArray() << 0u << raw("") << int(ScanOk) << 0u;
    QTest::newRow("empty text at end") << raw("ab") << 2u << raw("") << int(ScanOk) << 2u;
    QTest::newRow("text, no data") << QByteArray() << 0u << raw("a") << int(ScanEndOfData) << 0u;
    QTest::newRow("too short") << raw("ab") << 1u << raw("bc") << int(ScanEndOfData) << 1u;
    QTest::newRow("differs") << raw("ab") << 1u << raw("c") << int(ScanMismatch) << 1u;
    QTest::newRow("matches") << raw("ab") << 1u << raw("b") << int(ScanOk) << 2u;
    QTest::newRow("closing parenthesis") << raw("42)\r\n") << 2u << raw(")") << int(ScanOk) << 3u;
}

void tst_TextScanner::matchLiteral()
{
    checkTextOperation(&TextScanner::matchLiteral);
}

void tst_TextScanner::skipPast_data()
{
    addTextColumns();

    QTest::newRow("empty text") << raw("abc") << 1u << raw("") << int(ScanOk) << 1u;
    QTest::newRow("empty text, no data") << QByteArray() << 0u << raw("") << int(ScanOk) << 0u;
    QTest::newRow("no data") << QByteArray() << 0u << raw("a") << int(ScanMismatch) << 0u;
    QTest::newRow("first X") << raw("aXbXc") << 0u << raw("X") << int(ScanOk) << 2u;
    QTest::newRow("second X") << raw("aXbXc") << 2u << raw("X") << int(ScanOk) << 4u;
    QTest::newRow("no third X") << raw("aXbXc") << 4u << raw("X") << int(ScanMismatch) << 4u;
    QTest::newRow("cut off by the end")
        << raw("xxab") << 1u << raw("abc") << int(ScanMismatch) << 1u;
    QTest::newRow("longer than the data")
        << raw("ab") << 0u << raw("abc") << int(ScanMismatch) << 0u;
    QTest::newRow("at the very end") << raw("xxabc") << 1u << raw("abc") << int(ScanOk) << 5u;
    QTest::newRow("at the position") << raw("abc") << 0u << raw("abc") << int(ScanOk) << 3u;
    QTest::newRow("overlapping candidates") << raw("aaab") << 0u << raw("aab") << int(ScanOk) << 4u;
    QTest::newRow("first occurrence wins") << raw("ab1ab2") << 0u << raw("ab") << int(ScanOk) << 2u;
    QTest::newRow("occurrence before pos") << raw("abxab") << 1u << raw("ab") << int(ScanOk) << 5u;
    QTest::newRow("occurrence across pos")
        << raw("abc") << 1u << raw("ab") << int(ScanMismatch) << 1u;
    QTest::newRow("past the last start")
        << raw("abcd") << 3u << raw("cd") << int(ScanMismatch) << 3u;
    QTest::newRow("zero bytes are data") << raw("a\0b\0c") << 0u << raw("c") << int(ScanOk) << 5u;
    QTest::newRow("high bytes") << raw("\x80\xff(7)") << 0u << raw("(") << int(ScanOk) << 3u;
    QTest::newRow("tool line") << raw("Target 00: Upgrading - Download Phase (42)\r\n") << 0u
                               << raw("Upgrading - Download Phase (") << int(ScanOk) << 39u;
}

void tst_TextScanner::skipPast()
{
    checkTextOperation(&TextScanner::skipPast);
}

void tst_TextScanner::readInteger_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<uint>("pos");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("value");
    QTest::addColumn<uint>("endPos");

    const int ok = ScanOk;
    const int mismatch = ScanMismatch;
    const int end = ScanEndOfData;
    QTest::newRow("no data") << QByteArray() << 0u << end << untouched << 0u;
    QTest::newRow("at the end") << raw("12") << 2u << end << untouched << 2u;
    QTest::newRow("plus as last byte") << raw("5+") << 1u << end << untouched << 1u;
    QTest::newRow("plus, parenthesis") << raw("+)") << 0u << mismatch << untouched << 0u;
    QTest::newRow("two plus signs") << raw("++5") << 0u << mismatch << untouched << 0u;
    QTest::newRow("minus") << raw("-5") << 0u << mismatch << untouched << 0u;
    QTest::newRow("space") << raw(" 5") << 0u << mismatch << untouched << 0u;
    QTest::newRow("0 as last byte") << raw("a0") << 1u << ok << 0 << 2u;
    QTest::newRow("0, parenthesis") << raw("0)") << 0u << ok << 0 << 1u;
    QTest::newRow("0, hex letter") << raw("0a") << 0u << ok << 0 << 1u;
    QTest::newRow("leading zeros") << raw("007") << 0u << ok << 7 << 3u;
    QTest::newRow("digits to the end") << raw("(123") << 1u << ok << 123 << 4u;
    QTest::newRow("stops at a letter") << raw("12ab") << 0u << ok << 12 << 2u;
    QTest::newRow("plus, decimal") << raw("+7)") << 0u << ok << 7 << 2u;

    QTest::newRow("h") << raw("h10") << 0u << ok << 16 << 3u;
    QTest::newRow("H") << raw("H10") << 0u << ok << 16 << 3u;
    QTest::newRow("x") << raw("xff") << 0u << ok << 255 << 3u;
    QTest::newRow("X") << raw("XfF") << 0u << ok << 255 << 3u;
    QTest::newRow("0h") << raw("0h1a") << 0u << ok << 26 << 4u;
    QTest::newRow("0H") << raw("0H1A") << 0u << ok << 26 << 4u;
    QTest::newRow("0x") << raw("0x1A)") << 0u << ok << 26 << 4u;
    QTest::newRow("+0X") << raw("+0X1F") << 0u << ok << 31 << 5u;
    QTest::newRow("0x, stops at g") << raw("0x1g") << 0u << ok << 1 << 3u;
    QTest::newRow("b") << raw("b11") << 0u << ok << 3 << 3u;
    QTest::newRow("B") << raw("B10") << 0u << ok << 2 << 3u;
    QTest::newRow("0b") << raw("0b110") << 0u << ok << 6 << 5u;
    QTest::newRow("0B") << raw("0B101") << 0u << ok << 5 << 5u;
    QTest::newRow("b, stops at 2") << raw("b012") << 0u << ok << 1 << 3u;

    QTest::newRow("0x at the end") << raw("0x") << 0u << mismatch << untouched << 0u;
    QTest::newRow("b at the end") << raw("b") << 0u << mismatch << untouched << 0u;
    QTest::newRow("+0x at the end") << raw("+0x") << 0u << mismatch << untouched << 0u;
    QTest::newRow("0b2") << raw("0b2") << 0u << mismatch << untouched << 0u;
    QTest::newRow("x)") << raw("x)") << 0u << mismatch << untouched << 0u;
    QTest::newRow("+b)") << raw("+b)") << 0u << mismatch << untouched << 0u;

    QTest::newRow("2^32") << raw("4294967296") << 0u << ok << 0 << 10u;
    QTest::newRow("2^32 - 1") << raw("4294967295") << 0u << ok << -1 << 10u;
    QTest::newRow("2^31") << raw("2147483648") << 0u << ok << INT_MIN << 10u;
    QTest::newRow("2^32 + 5") << raw("4294967301") << 0u << ok << 5 << 10u;
    QTest::newRow("33 binary digits")
        << raw("b100000000000000000000000000000011") << 0u << ok << 3 << 34u;
    QTest::newRow("9 hex digits") << raw("x123456789") << 0u << ok << 0x23456789 << 10u;
    QTest::newRow("hex all ones") << raw("0xFFFFFFFF") << 0u << ok << -1 << 10u;

    // As signed chars these would pass a one-sided range test or index a table negatively.
    QTest::newRow("0xB5") << raw("\xb5") << 0u << mismatch << untouched << 0u;
    QTest::newRow("0xB0") << raw("\xb0") << 0u << mismatch << untouched << 0u;
    QTest::newRow("0xFF after digits") << raw("7\xff") << 0u << ok << 7 << 1u;
    QTest::newRow("0xE1 after x") << raw("x\xe1") << 0u << mismatch << untouched << 0u;
    QTest::newRow("0xB1 after 0b") << raw("0b\xb1") << 0u << mismatch << untouched << 0u;
    QTest::newRow("zero byte after digits") << raw("12\0"
                                                   "3")
                                            << 0u << ok << 12 << 2u;
    QTest::newRow("zero byte first") << raw("\0"
                                            "5")
                                     << 0u << mismatch << untouched << 0u;
}

void tst_TextScanner::readInteger()
{
    QFETCH(QByteArray, data);
    QFETCH(uint, pos);
    QFETCH(int, result);
    QFETCH(int, value);
    QFETCH(uint, endPos);

    const ExactBytes bytes(data);
    TextScanner s = scannerAt(bytes, pos);
    std::int32_t target = untouched;
    QCOMPARE(s.readInteger(&target), result);
    QCOMPARE(s.position(), endPos);
    QCOMPARE(target, value);
}

void tst_TextScanner::readIntegerWithoutTarget()
{
    QFETCH(QByteArray, data);
    QFETCH(uint, pos);
    QFETCH(int, result);
    QFETCH(uint, endPos);

    const ExactBytes bytes(data);
    TextScanner s = scannerAt(bytes, pos);
    QCOMPARE(s.readInteger(nullptr), result);
    QCOMPARE(s.position(), endPos);
}

void tst_TextScanner::digitReaders_data()
{
    QTest::addColumn<int>("base");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<uint>("start");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("value");
    QTest::addColumn<uint>("endPos");

    const int ok = ScanOk;
    const int mismatch = ScanMismatch;
    QTest::newRow("binary") << 2 << raw("0101") << 0u << ok << 5 << 4u;
    QTest::newRow("decimal") << 10 << raw("0123456789") << 0u << ok << 123456789 << 10u;
    QTest::newRow("hex") << 16 << raw("aF09Ab") << 0u << ok << 0xaf09ab << 6u;
    QTest::newRow("from the start index") << 10 << raw("x42)") << 1u << ok << 42 << 3u;
    QTest::newRow("start at the end") << 10 << raw("12") << 2u << mismatch << untouched << 0u;
    QTest::newRow("start beyond the end") << 10 << raw("12") << 5u << mismatch << untouched << 0u;
    QTest::newRow("largest start") << 16 << raw("12") << 0xFFFFFFFFu << mismatch << untouched << 0u;
    // The bytes on either side of each digit range.
    QTest::newRow("binary 2") << 2 << raw("2") << 0u << mismatch << untouched << 0u;
    QTest::newRow("binary /") << 2 << raw("/") << 0u << mismatch << untouched << 0u;
    QTest::newRow("decimal /") << 10 << raw("/") << 0u << mismatch << untouched << 0u;
    QTest::newRow("decimal :") << 10 << raw(":") << 0u << mismatch << untouched << 0u;
    QTest::newRow("decimal a") << 10 << raw("a") << 0u << mismatch << untouched << 0u;
    QTest::newRow("hex @") << 16 << raw("@") << 0u << mismatch << untouched << 0u;
    QTest::newRow("hex G") << 16 << raw("G") << 0u << mismatch << untouched << 0u;
    QTest::newRow("hex `") << 16 << raw("`") << 0u << mismatch << untouched << 0u;
    QTest::newRow("hex g") << 16 << raw("g") << 0u << mismatch << untouched << 0u;
    QTest::newRow("hex 0xC6") << 16 << raw("\xc6") << 0u << mismatch << untouched << 0u;
}

void tst_TextScanner::digitReaders()
{
    QFETCH(int, base);
    QFETCH(QByteArray, data);
    QFETCH(uint, start);
    QFETCH(int, result);
    QFETCH(int, value);
    QFETCH(uint, endPos);

    const ExactBytes bytes(data);
    TextScanner s = scannerAt(bytes, 0);
    std::int32_t target = untouched;
    int r = -1;
    switch (base) {
    case 2:
        r = s.readBinaryDigits(start, &target);
        break;
    case 10:
        r = s.readDecimalDigits(start, &target);
        break;
    case 16:
        r = s.readHexDigits(start, &target);
        break;
    }
    QCOMPARE(r, result);
    QCOMPARE(s.position(), endPos);
    QCOMPARE(target, value);
}

QTEST_APPLESS_MAIN(tst_TextScanner)

#include "tst_textscanner.moc"
