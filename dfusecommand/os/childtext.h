// What dfu-util prints, as UTF-8, the one encoding of the tool's own streams. On Windows it
// prints file names and the system's messages in the ANSI code page, and the device's strings,
// which it converts itself, in UTF-8.
#ifndef CHILDTEXT_H
#define CHILDTEXT_H

#include <QByteArray>

class ChildText
{
public:
    // Whole lines: a line is in one encoding or the other.
    static QByteArray toUtf8(const QByteArray &lines);
};

#endif // CHILDTEXT_H
