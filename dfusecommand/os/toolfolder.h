// Where the files that dfu-util opens by name lie: the firmware's private copy and the device's
// read-back. On Windows dfu-util takes its arguments in the ANSI code page, which a user's name
// may leave, so there the folder's path is plain ASCII whatever the user is called.
#ifndef TOOLFOLDER_H
#define TOOLFOLDER_H

#include <QString>

class ToolFolder
{
public:
    // Empty when no such folder is at hand.
    static QString path();
    // Why path() is empty.
    static QString missing();
};

#endif // TOOLFOLDER_H
