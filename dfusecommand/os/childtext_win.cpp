// A line that is valid UTF-8 is taken as such: text in a Windows code page that has letters
// beyond ASCII is hardly ever valid UTF-8.
#include "dfusecommand/os/childtext.h"

#include <QString>
#include <QTextCodec>

namespace {

bool isUtf8(const QByteArray &line)
{
    QTextCodec::ConverterState state;
    QTextCodec::codecForMib(106)->toUnicode(line.constData(), line.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

} // namespace

QByteArray ChildText::toUtf8(const QByteArray &lines)
{
    QByteArray converted;
    for (int at = 0; at < lines.size();) {
        int end = lines.indexOf('\n', at);
        end = end < 0 ? lines.size() : end + 1;
        const QByteArray line = lines.mid(at, end - at);
        converted += isUtf8(line) ? line : QString::fromLocal8Bit(line).toUtf8();
        at = end;
    }
    return converted;
}
