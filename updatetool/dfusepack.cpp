// dfusepack: turns raw binary images and their load addresses into a DfuSe firmware file.
#include "updatetool/dfusefile.h"
#include "updatetool/dfusereader.h"
#include "updatetool/dfusewriter.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <cstdio>

namespace {

enum PackExit { PackOk = 0, PackFailed = 1, PackUsage = 2 };

void printError(const QString &text)
{
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

bool parseNumber(const QString &text, quint32 maximum, quint32 *value)
{
    bool ok = false;
    const qulonglong number = text.toULongLong(&ok, 0);
    if (!ok || number > maximum)
        return false;
    *value = quint32(number);
    return true;
}

// An input is [ALT@]ADDRESS:FILE; the file part may itself hold colons (drive letters).
bool addInput(const QString &input, quint32 defaultAlternate, DfuSeFile *file, QString *problem)
{
    const int colon = input.indexOf(':');
    if (colon < 0) {
        *problem = "\"" + input + "\" is not ADDRESS:FILE.";
        return false;
    }
    QString where = input.left(colon);
    const QString path = input.mid(colon + 1);
    quint32 alternate = defaultAlternate;
    const int at = where.indexOf('@');
    if (at >= 0) {
        if (!parseNumber(where.left(at), 255, &alternate)) {
            *problem = "\"" + where.left(at) + "\" is not an alternate setting from 0 to 255.";
            return false;
        }
        where = where.mid(at + 1);
    }
    quint32 address = 0;
    if (!parseNumber(where, 0xFFFFFFFFu, &address)) {
        *problem = "\"" + where + "\" is not a 32-bit address.";
        return false;
    }

    QFile image(path);
    if (image.size() > DfuSeReader::MaximumFileSize) {
        *problem = "\"" + path + "\" is too large for any firmware.";
        return false;
    }
    if (!image.open(QIODevice::ReadOnly)) {
        *problem = "Cannot read \"" + path + "\": " + image.errorString() + ".";
        return false;
    }
    DfuSeElement element;
    element.address = address;
    element.data = image.readAll();

    for (DfuSeTarget &target : file->targets) {
        if (target.alternateSetting == alternate) {
            target.elements.append(element);
            return true;
        }
    }
    DfuSeTarget target;
    target.alternateSetting = quint8(alternate);
    target.elements.append(element);
    file->targets.append(target);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Packs raw binary images into a DfuSe firmware file. Each input is "
        "[ALT@]ADDRESS:FILE, for example 0x08000000:app.bin or 1@0x1FFF7800:options.bin; "
        "inputs with the same alternate setting go into one target, in the order given.");
    const QCommandLineOption outputOption({"o", "output"}, "Write the DfuSe file to FILE.", "FILE");
    const QCommandLineOption vendorOption(
        "vid", "USB vendor id in the suffix (default 0xFFFF, any).", "ID", "0xFFFF");
    const QCommandLineOption productOption(
        "pid", "USB product id in the suffix (default 0xFFFF, any).", "ID", "0xFFFF");
    const QCommandLineOption deviceOption(
        "bcd", "Firmware version in the suffix (default 0xFFFF, unused).", "VERSION", "0xFFFF");
    const QCommandLineOption alternateOption(
        "alt", "Alternate setting for inputs that name none (default 0).", "N", "0");
    const QCommandLineOption nameOption("name", "Name every target TEXT.", "TEXT");
    parser.addOptions(
        {outputOption, vendorOption, productOption, deviceOption, alternateOption, nameOption});
    parser.addHelpOption();
    parser.addPositionalArgument("inputs", "Images to pack, as [ALT@]ADDRESS:FILE.",
                                 "[ALT@]ADDRESS:FILE...");
    parser.process(app);

    DfuSeFile file;
    quint32 vendor = 0, product = 0, device = 0, alternate = 0;
    if (!parseNumber(parser.value(vendorOption), 0xFFFF, &vendor)
        || !parseNumber(parser.value(productOption), 0xFFFF, &product)
        || !parseNumber(parser.value(deviceOption), 0xFFFF, &device)) {
        printError("--vid, --pid and --bcd take numbers from 0 to 0xFFFF.");
        return PackUsage;
    }
    if (!parseNumber(parser.value(alternateOption), 255, &alternate)) {
        printError("--alt takes a number from 0 to 255.");
        return PackUsage;
    }
    if (!parser.isSet(outputOption) || parser.positionalArguments().isEmpty()) {
        printError("Give an output file with -o and at least one ADDRESS:FILE input.");
        return PackUsage;
    }
    file.vendorId = quint16(vendor);
    file.productId = quint16(product);
    file.deviceVersion = quint16(device);

    for (const QString &input : parser.positionalArguments()) {
        QString problem;
        if (!addInput(input, alternate, &file, &problem)) {
            printError(problem);
            return PackUsage;
        }
    }
    if (parser.isSet(nameOption)) {
        for (DfuSeTarget &target : file.targets) {
            target.named = true;
            target.name = parser.value(nameOption).toUtf8();
        }
    }

    // Whatever the tool would refuse (overlaps, a file too large, no bytes) is not written.
    const QByteArray bytes = DfuSeWriter::write(file);
    DfuSeReader check;
    if (file.dataSize() > DfuSeReader::MaximumFileSize || !check.read(bytes)) {
        printError(
            "These inputs make no valid DfuSe file: "
            + (check.errorString().isEmpty() ? QString("they are too large") : check.errorString())
            + ".");
        return PackFailed;
    }

    QSaveFile out(parser.value(outputOption));
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
        printError("Cannot write \"" + out.fileName() + "\": " + out.errorString() + ".");
        return PackFailed;
    }
    std::printf("%s: %d target(s), %d element(s), %lld bytes of firmware\n",
                qPrintable(out.fileName()), int(file.targets.size()), file.elementCount(),
                file.dataSize());
    return PackOk;
}
