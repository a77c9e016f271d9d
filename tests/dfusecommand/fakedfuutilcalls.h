// What dfu-util 0.11 prints and stores, as the tests' fake dfu-util replays it: one FakeCall for
// each run of dfu-util the tool makes, built from recorded output.
#ifndef FAKEDFUUTILCALLS_H
#define FAKEDFUUTILCALLS_H

#include "tests/toolprocess.h"

#include "dfuse/dfusefile.h"

#include <QByteArray>
#include <QList>
#include <QRegularExpression>
#include <QStringList>

struct FakeCall
{
    FakeCall(const QByteArray &out = {}, const QByteArray &err = {}, const QByteArray &code = {},
             const QByteArray &upload = {})
        : out(out)
        , err(err)
        , code(code)
        , upload(upload)
    { }

    QByteArray out;
    QByteArray err;
    QByteArray code;
    QByteArray upload;
};
Q_DECLARE_METATYPE(FakeCall)

const QByteArray banner = "dfu-util 0.11\n\n"
                          "Copyright 2005-2009 Weston Schmidt, Harald Welte and OpenMoko Inc.\n"
                          "Copyright 2010-2021 Tormod Volden and Stefan Schmidt\n"
                          "This program is Free Software and has ABSOLUTELY NO WARRANTY\n"
                          "Please report bugs to http://sourceforge.net/p/dfu-util/tickets/\n\n";
const QByteArray noDevice = "dfu-util: No DFU capable USB device available\n";
const QByteArray cannotOpen
    = "dfu-util: Cannot open DFU device 0483:df11 found on devnum 7 (LIBUSB_ERROR_ACCESS)\n";
const QByteArray notSupported = "dfu-util: Cannot open DFU device 0483:df11 found on devnum 7 "
                                "(LIBUSB_ERROR_NOT_SUPPORTED)\n";
// What the user is told to do differs: udev grants access on Linux, the WinUSB driver on Windows.
#ifdef Q_OS_WIN
const char accessAdvice[] = "install WinUSB for it (for example with Zadig";
const char deniedAccess[] = "(libusb says LIBUSB_ERROR_ACCESS). dfu-util reaches the device "
                            "through the WinUSB driver";
const char deniedNoDriver[] = "(it has no WinUSB driver, libusb says LIBUSB_ERROR_NOT_SUPPORTED)";
const char noSuchFile[] = "(File not found)";
#else
const char accessAdvice[] = "Install the udev rule 70-brindleflash-dfu.rules";
const char deniedAccess[] = "(you may not use it)";
const char deniedNoDriver[] = "(you may not use it)";
const char noSuchFile[] = "(No such file or directory)";
#endif
const QByteArray statusError = "dfu-util: Error during download get_status\n";
const QByteArray errorStatus = "dfu-util: SET_ADDRESS not correctly executed\n";
constexpr qint64 TransferSize = 1024;

// One update of dfu-util's progress bar, and the line it adds once the bar is full.
inline QByteArray bar(const char *label, qint64 done, qint64 total)
{
    total = qMax<qint64>(total, 1);
    const int filled = int(25 * done / total);
    QByteArray record = "\r" + QByteArray(label) + "\t[" + QByteArray(filled, '=')
        + QByteArray(25 - filled, ' ') + "] "
        + QByteArray::number(100 * done / total).rightJustified(3, ' ') + "% "
        + QByteArray::number(done).rightJustified(12, ' ') + " bytes";
    if (filled == 25)
        record += "\n" + QByteArray(label) + " done.\n";
    return record;
}

// A stage of one element: from 0 of 1, once per transfer, to the whole element.
inline QByteArray stage(const char *label, qint64 size)
{
    QByteArray out = bar(label, 0, 1);
    for (qint64 at = 0; at < size; at += TransferSize)
        out += bar(label, at, size);
    return out + bar(label, size, size);
}

// Images are ALT@ADDRESS:SIZE; one target per alternate setting, in the order given.
inline DfuSeFile layout(const QStringList &images, bool named)
{
    DfuSeFile file;
    if (named) {
        file.vendorId = 0x0483;
        file.productId = 0xDF11;
    }
    for (int i = 0; i < images.size(); ++i) {
        const QStringList parts = images.at(i).split(QRegularExpression("[@:]"));
        const quint8 alternate = quint8(parts.at(0).toUInt());
        int t = 0;
        while (t < file.targets.size() && file.targets.at(t).alternateSetting != alternate)
            ++t;
        if (t == file.targets.size()) {
            file.targets.append(DfuSeTarget());
            file.targets.last().alternateSetting = alternate;
        }
        DfuSeElement element;
        element.address = parts.at(1).toUInt(nullptr, 16);
        element.data = pattern(parts.at(2).toInt(), quint32(i + 1));
        file.targets[t].elements << element;
    }
    return file;
}

// What dfu-util 0.11 prints for "-a ALT -D file": every target is parsed, only those of ALT
// are downloaded; the others only get a note on standard error.
inline FakeCall downloadOf(const DfuSeFile &file, int alternate)
{
    FakeCall call;
    call.out = banner
        + "Opening DFU capable USB device...\nDevice ID 0483:df11\nDevice DFU version 011a\n"
          "Claiming USB DFU Interface...\nDetermining device status: state = dfuIDLE, "
          "status = 0\ndfuIDLE, continuing\nDFU mode device DFU version 011a\nDevice returned "
          "transfer size 1024\nDfuSe interface name: \"Internal Flash  \"\n";
    call.out += "File contains " + QByteArray::number(file.targets.size()) + " DFU images\n";
    for (int t = 0; t < file.targets.size(); ++t) {
        const DfuSeTarget &target = file.targets.at(t);
        const bool chosen = target.alternateSetting == alternate;
        call.out += QString("Parsing DFU image %1\nNo target name\nImage for alternate setting "
                            "%2, (%3 elements, total size = %4)\n")
                        .arg(t + 1)
                        .arg(target.alternateSetting)
                        .arg(target.elements.size())
                        .arg(target.elements.size() * 8 + file.dataSize())
                        .toLatin1();
        if (!chosen)
            call.err += "dfu-util: No alternate setting "
                + QByteArray::number(target.alternateSetting) + " (skipping elements)\n";
        for (int e = 0; e < target.elements.size(); ++e) {
            const DfuSeElement &element = target.elements.at(e);
            call.out += QString("Parsing element %1, address = 0x%2, size = %3\n")
                            .arg(e + 1)
                            .arg(element.address, 8, 16, QChar('0'))
                            .arg(element.data.size())
                            .toLatin1();
            if (chosen)
                call.out += stage("Erase   ", element.data.size())
                    + stage("Download", element.data.size());
        }
    }
    call.out += "Done parsing DfuSe file\n";
    return call;
}

// What "-a ALT -s ADDRESS:LENGTH -U file" prints, and what it stores in the file.
inline FakeCall uploadOf(const QByteArray &bytes, qint64 size)
{
    return {banner + "Opening DFU capable USB device...\nDevice ID 0483:df11\n"
                + stage("Upload", size),
            "", "", bytes};
}

inline QList<FakeCall> uploadsOf(const DfuSeFile &file)
{
    QList<FakeCall> calls;
    for (const DfuSeTarget &target : file.targets) {
        for (const DfuSeElement &element : target.elements) {
            if (!element.data.isEmpty())
                calls << uploadOf(element.data, element.data.size());
        }
    }
    return calls;
}

inline FakeCall leaveCall(const QByteArray &err = QByteArray(),
                          const QByteArray &code = QByteArray())
{
    return {banner
                + "Opening DFU capable USB device...\nDfuSe command mode\n"
                  "Submitting leave request...\n",
            err, code};
}

// Each device is IDS/DEVNUM/ALT, one line of "dfu-util -l" apiece.
inline FakeCall listingOf(const QStringList &devices)
{
    FakeCall call {banner, QByteArray(), QByteArray()};
    for (const QString &device : devices) {
        const QStringList parts = device.split('/');
        call.out += QString("Found DFU: [%1] ver=2200, devnum=%2, cfg=1, intf=0, path=\"1-%2\", "
                            "alt=%3, name=\"@Internal Flash  "
                            "/0x08000000/04*016Kg,01*064Kg,07*128Kg/0x1FFF7800/01*016 g\", "
                            "serial=\"3262355B3231\"\n")
                        .arg(parts.at(0), parts.at(1), parts.at(2))
                        .toLatin1();
    }
    return call;
}

const QStringList twoTargets = {"0@0x08000000:3000", "1@0x1FFF7800:16"};

// The output up to the first progress update that starts with this text, which stays in.
inline QByteArray upTo(const QByteArray &out, const QByteArray &update)
{
    const int at = out.indexOf("\r" + update);
    return out.left(out.indexOf('\r', at + 1));
}

// The phase lines in order, shortened to E12, D100 and L for the leaving line.
inline QString phaseSequence(const QByteArray &out)
{
    QStringList sequence;
    for (const QByteArray &line : outputLines(out)) {
        const QRegularExpressionMatch match = phaseLine().match(QString::fromUtf8(line));
        if (match.hasMatch())
            sequence << match.captured(1).left(1) + match.captured(2);
        else if (line == "Leaving DFU Mode...")
            sequence << "L";
    }
    return sequence.join(' ');
}

#endif // FAKEDFUUTILCALLS_H
