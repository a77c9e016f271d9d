// Reads the tool's device lines, whatever else it prints around them.
#include "update/devicelinereader.h"

#include "dfusecommand/toolcontract.h"

#include <QRegularExpression>

#include <cstring>

namespace {

// Far longer than any device line; a longer line is not one, and is not kept.
const int maxLineLength = 4096;
// More than a USB host takes, so a flood of lines cannot grow the list without end.
const int maxDevices = 128;

bool startsDeviceLine(const char *bytes, int size)
{
    const int prefixLength = int(sizeof(ToolContract::DeviceLinePrefix) - 1);
    return size >= prefixLength
        && std::memcmp(bytes, ToolContract::DeviceLinePrefix, size_t(prefixLength)) == 0;
}

} // namespace

void DeviceLineReader::clear()
{
    partial.clear();
    skippingLine = false;
    found.clear();
}

void DeviceLineReader::feed(const QByteArray &chunk)
{
    int start = 0;
    for (int end = chunk.indexOf('\n'); end >= 0; end = chunk.indexOf('\n', start)) {
        if (!skippingLine) {
            // Only a line that may be a device line is copied: most output is not.
            if (!partial.isEmpty())
                readLine(partial + chunk.mid(start, end - start));
            else if (startsDeviceLine(chunk.constData() + start, end - start))
                readLine(chunk.mid(start, end - start));
        }
        partial.clear();
        skippingLine = false;
        start = end + 1;
    }
    if (skippingLine || start == chunk.size())
        return;
    const int rest = chunk.size() - start;
    if (partial.size() + rest > maxLineLength) {
        partial.clear();
        skippingLine = true;
        return;
    }
    // Kept whole until its line break arrives: the prefix itself may be cut.
    partial.append(chunk.constData() + start, rest);
}

void DeviceLineReader::finish()
{
    if (!skippingLine && !partial.isEmpty())
        readLine(partial);
    partial.clear();
    skippingLine = false;
}

void DeviceLineReader::readLine(const QByteArray &line)
{
    static const QRegularExpression pattern(
        "^" + QRegularExpression::escape(ToolContract::DeviceLinePrefix)
        + "([0-9]+-[0-9]+(?:\\.[0-9]+)*): ([0-9a-fA-F]{4}:[0-9a-fA-F]{4}), serial \"(.*?)\", "
          "bcdDevice [0-9a-fA-F]{4}(?:,.*)?$");
    if (found.size() >= maxDevices || !startsDeviceLine(line.constData(), line.size()))
        return;
    QString text = QString::fromUtf8(line);
    // The tool on Windows ends its lines with CR LF.
    if (text.endsWith('\r'))
        text.chop(1);
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return;
    const QString port = match.captured(1);
    for (const Device &device : qAsConst(found)) {
        if (device.port == port)
            return;
    }
    found.append({port, match.captured(2).toLower(), match.captured(3)});
}
