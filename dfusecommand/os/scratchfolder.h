// A folder of the tool's own for the files dfu-util reads back. It goes with the tool however
// the tool ends: a signal that would end it empties and removes it first, and one left by a
// tool killed outright is removed by the next tool that starts, once no process holds its lock.
#ifndef SCRATCHFOLDER_H
#define SCRATCHFOLDER_H

#include <QString>
#include <QTemporaryDir>

class ScratchFolder
{
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder &) = delete;
    ScratchFolder &operator=(const ScratchFolder &) = delete;

    // The folders of tools that are gone; never one whose lock a running tool holds.
    static void removeLeftovers();

    bool isValid() const { return error.isEmpty(); }
    QString errorString() const { return error; }
    QString filePath(const QString &name) const { return folder.filePath(name); }

private:
    static QString lockPath(const QString &folder);
    // Where platforms differ.
    bool claim();
    void release();
    static bool isAbandoned(const QString &lockPath);
    void guard();
    void unguard();

    QTemporaryDir folder;
    QString error;
    qintptr lock = -1;
};

#endif // SCRATCHFOLDER_H
