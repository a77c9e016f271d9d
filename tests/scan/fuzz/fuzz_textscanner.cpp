// Fuzz target: reads a run of bytes and a sequence of scanner operations from the input, runs
// them, and checks every step against a plain model of what the scanner must do.
#include "scan/textscanner.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

[[noreturn]] void fail(const char *check, int line)
{
    std::fprintf(stderr, "fuzz_textscanner.cpp:%d: check failed: %s\n", line, check);
    std::abort();
}

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fail(#condition, __LINE__);                                                            \
    } while (false)

// Hands out the fuzz input front to back; once it is used up, every byte reads as zero.
class Input
{
public:
    Input(const std::uint8_t *data, std::size_t size)
        : m_data(data)
        , m_size(size)
    { }
    bool atEnd() const { return m_next >= m_size; }
    std::uint8_t byte() { return atEnd() ? 0 : m_data[m_next++]; }
    std::string bytes(std::size_t count)
    {
        std::string out;
        while (out.size() < count && !atEnd())
            out += char(m_data[m_next++]);
        return out;
    }

private:
    const std::uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_next = 0;
};

// A copy in an allocation of exactly its size, so the sanitizer sees any read past its end.
class Exact
{
public:
    explicit Exact(std::string_view bytes)
        : m_size(bytes.size())
        , m_bytes(new char[bytes.size()])
    {
        if (m_size)
            std::memcpy(m_bytes.get(), bytes.data(), m_size);
    }
    const char *data() const { return m_bytes.get(); }
    std::string_view view() const { return {m_bytes.get(), m_size}; }

private:
    std::size_t m_size;
    std::unique_ptr<char[]> m_bytes;
};

// What the scanner must answer, worked out a different way: on strings, with a 64-bit value.
struct Expected
{
    int result;
    std::uint32_t pos;
    std::int64_t value;
};

std::string_view digitsOf(int base)
{
    return base == 2 ? "01" : base == 10 ? "0123456789" : "0123456789abcdefABCDEF";
}

Expected modelDigits(std::string_view data, std::uint32_t pos, std::uint64_t start, int base)
{
    const std::string_view digits = digitsOf(base);
    std::uint64_t k = start;
    std::uint64_t v = 0;
    while (k < data.size() && digits.find(data[k]) != std::string_view::npos) {
        const std::size_t at = digits.find(data[k]);
        v = (v * std::uint64_t(base) + (at < 16 ? at : at - 6)) % (std::uint64_t(1) << 32);
        ++k;
    }
    if (k == start)
        return {ScanMismatch, pos, 0};
    const std::int64_t asSigned = v >= (std::uint64_t(1) << 31)
        ? std::int64_t(v) - (std::int64_t(1) << 32)
        : std::int64_t(v);
    return {ScanOk, std::uint32_t(k), asSigned};
}

Expected modelInteger(std::string_view data, std::uint32_t pos)
{
    std::string_view rest = data.substr(pos);
    if (rest.empty())
        return {ScanEndOfData, pos, 0};
    std::size_t i = rest[0] == '+' ? 1 : 0;
    rest.remove_prefix(i);
    if (rest.empty())
        return {ScanEndOfData, pos, 0};
    auto startsWith = [rest](std::string_view p) { return rest.substr(0, p.size()) == p; };
    int base = 10;
    if (startsWith("0x") || startsWith("0X") || startsWith("0h") || startsWith("0H"))
        base = 16, i += 2;
    else if (startsWith("0b") || startsWith("0B"))
        base = 2, i += 2;
    else if (std::string_view("hHxX").find(rest[0]) != std::string_view::npos)
        base = 16, i += 1;
    else if (std::string_view("bB").find(rest[0]) != std::string_view::npos)
        base = 2, i += 1;
    return modelDigits(data, pos, std::uint64_t(pos) + i, base);
}

Expected modelMatch(std::string_view data, std::uint32_t pos, std::string_view expected,
                    std::uint64_t count)
{
    if (count > data.size() - pos)
        return {ScanEndOfData, pos, 0};
    if (data.substr(pos, count) != expected.substr(0, count))
        return {ScanMismatch, pos, 0};
    return {ScanOk, std::uint32_t(pos + count), 0};
}

Expected modelSkip(std::string_view data, std::uint32_t pos, std::string_view text)
{
    if (text.empty())
        return {ScanOk, pos, 0};
    const std::size_t at = data.find(text, pos);
    if (at == std::string_view::npos)
        return {ScanMismatch, pos, 0};
    return {ScanOk, std::uint32_t(at + text.size()), 0};
}

// A text for matchLiteral or skipPast: often taken from the data so that it can be found.
std::string pickText(Input &in, std::string_view data)
{
    const std::uint8_t how = in.byte();
    const std::size_t n = how & 0x1f;
    if (how & 0x80) {
        const std::size_t from = data.empty() ? 0 : in.byte() % data.size();
        return std::string(data.substr(from, n));
    }
    return in.bytes(n);
}

void run(Input &in)
{
    auto buffer = std::make_unique<Exact>(in.bytes(in.byte()));
    std::string_view data = buffer->view();
    TextScanner s;
    s.init(buffer->data(), std::uint32_t(data.size()));

    while (!in.atEnd()) {
        const std::uint32_t before = s.pos;
        Expected want {ScanOk, before, 0};
        int got = ScanOk;
        std::int64_t gotValue = 0;
        const std::uint8_t op = in.byte();
        switch (op % 8) {
        case 0: { // view part of the current bytes instead
            const std::size_t from = in.byte() % (data.size() + 1);
            const std::size_t n = in.byte() % (data.size() - from + 1);
            buffer = std::make_unique<Exact>(data.substr(from, n));
            data = buffer->view();
            s.init(buffer->data(), std::uint32_t(data.size()));
            want.pos = 0;
            break;
        }
        case 1: { // matchBytes, sometimes with a count that would wrap pos + count
            const std::uint8_t how = in.byte();
            const std::uint32_t count = (how & 0x80) ? 0xFFFFFFFFu - (how & 0x0f) : how & 0x3f;
            const std::size_t have = (how & 0x80) ? how & 0x0f : count;
            std::string expected
                = (how & 0x40) ? std::string(data.substr(before, have)) : in.bytes(have);
            expected.resize(have);
            if (!expected.empty() && (how & 0x20))
                expected.back() ^= 1;
            const Exact bytes(expected);
            got = s.matchBytes(bytes.data(), count);
            want = modelMatch(data, before, expected, count);
            break;
        }
        case 2: {
            const std::string text = pickText(in, data);
            got = s.matchLiteral(text.c_str());
            const std::string_view upToZero(text.c_str());
            want = upToZero.empty() ? Expected {ScanOk, before, 0}
                                    : modelMatch(data, before, upToZero, upToZero.size());
            break;
        }
        case 3: {
            const std::string text = pickText(in, data);
            got = s.skipPast(text.c_str());
            want = modelSkip(data, before, std::string_view(text.c_str()));
            break;
        }
        case 4:
        case 5: { // readInteger, with and without a target
            const bool withTarget = op % 8 == 4;
            const std::int32_t old = std::int32_t(in.byte() * 0x01010101u);
            std::int32_t target = old;
            got = s.readInteger(withTarget ? &target : nullptr);
            want = modelInteger(data, before);
            if (want.result != ScanOk || !withTarget)
                want.value = old;
            gotValue = target;
            break;
        }
        case 6: { // a digit reader on its own, from any start index
            const std::uint8_t how = in.byte();
            const int base = how % 3 == 0 ? 2 : how % 3 == 1 ? 10 : 16;
            const std::uint32_t start
                = (how & 0x80) ? 0xFFFFFFFFu - (how & 0x07) : before + ((how >> 2) & 0x0f);
            std::int32_t target = -7;
            got = base == 2  ? s.readBinaryDigits(start, &target)
                : base == 10 ? s.readDecimalDigits(start, &target)
                             : s.readHexDigits(start, &target);
            want = modelDigits(data, before, start, base);
            if (want.result != ScanOk)
                want.value = -7;
            gotValue = target;
            break;
        }
        case 7: // move to any position within the data
            s.pos = std::uint32_t(in.byte() % (data.size() + 1));
            want.pos = s.pos;
            break;
        }
        CHECK(s.data == buffer->data() && s.length == data.size());
        CHECK(s.pos <= s.length);
        CHECK(s.position() == s.pos);
        CHECK(got == want.result);
        CHECK(s.pos == want.pos);
        CHECK(got == ScanOk || s.pos == before);
        CHECK(gotValue == want.value);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Input in(data, size);
    run(in);
    return 0;
}
