// Read-back verification: what came back from the device against the planned ranges.
#include "dfusecommand/flashverifier.h"

#include "dfuse/dfusefile.h"
#include "dfuse/dfuseformat.h"
#include "dfusecommand/phasereporter.h"

#include <QCryptographicHash>
#include <QStringList>

namespace {

const char retryAdvice[] = "The device stays in DFU mode: retry the update.";

QString hex8(char byte)
{
    return "0x" + QString::number(uchar(byte), 16).toUpper().rightJustified(2, QChar('0'));
}

QString span(const MemoryRange &range)
{
    return DfuSeFormat::hex32(quint32(range.start)) + " to "
        + DfuSeFormat::hex32(quint32(range.end - 1));
}

} // namespace

ToolResult FlashVerifier::verify(const DfuSeFile &file, const MemoryLayouts &layouts,
                                 PhaseReporter &progress, const Reader &read)
{
    progress.context("Verifying: reading every element back from the device");
    QString firstDifference;
    QStringList problems;
    // Readable by the layout, yet refused: proof of a fault only once another range was read.
    QString refusedReadable;
    bool anyRead = false;
    // Of every byte read back, in the file's order, as long as nothing was left out.
    QCryptographicHash readBack(QCryptographicHash::Sha256);
    qint64 readBackSize = 0;
    bool wholeReadBack = true;
    const auto differs = [&] {
        return ToolResult::failure(ExitTransferFailed,
                                   "The flash verification failed at " + firstDifference + ". "
                                       + retryAdvice);
    };
    for (const DfuSeTarget &target : file.targets) {
        const auto layout = layouts.constFind(target.alternateSetting);
        for (const DfuSeElement &element : target.elements) {
            if (element.data.isEmpty())
                continue;
            const uint64_t size = uint64_t(element.data.size());
            std::vector<MemoryRange> ranges {{element.address, element.address + size}};
            if (layout != layouts.cend()) {
                ranges = layout->readableRanges(element.address, size);
                for (const MemoryRange &range : layout->unreadableRanges(element.address, size)) {
                    const QString problem
                        = span(range) + ": the device's layout says it cannot be read";
                    progress.context("Bytes at " + problem);
                    problems << problem;
                    wholeReadBack = false;
                }
            }
            for (const MemoryRange &range : ranges) {
                const DfuSeElement part {
                    quint32(range.start),
                    element.data.mid(int(range.start - element.address), int(range.size()))};
                const QString where = DfuSeFormat::hex32(part.address);
                const ReadBack back = read(target.alternateSetting, part);
                QString problem = back.problem;
                bool failed = back.failed;
                if (back.ok) {
                    const QByteArray &found = back.bytes;
                    const int common = qMin(found.size(), part.data.size());
                    int at = 0;
                    while (at < common && found.at(at) == part.data.at(at))
                        ++at;
                    anyRead = true;
                    if (found.size() == part.data.size()) {
                        readBack.addData(found);
                        readBackSize += found.size();
                    } else {
                        wholeReadBack = false;
                    }
                    if (at < common) {
                        const QString difference
                            = QString("%1: expected %2, found %3")
                                  .arg(DfuSeFormat::hex32(quint32(part.address + at)),
                                       hex8(part.data.at(at)), hex8(found.at(at)));
                        progress.context("Element at " + where + " differs from the file, first at "
                                         + difference);
                        if (firstDifference.isEmpty())
                            firstDifference = difference;
                        continue;
                    }
                    if (found.size() == part.data.size()) {
                        progress.context(
                            QString("Verified %1 bytes at %2").arg(part.data.size()).arg(where));
                        continue;
                    }
                    problem = QString("the device returned %1 of the %2 bytes at %3")
                                  .arg(found.size())
                                  .arg(part.data.size())
                                  .arg(where);
                    failed = true;
                }
                wholeReadBack = false;
                progress.context("Element at " + where + " not checked: " + problem);
                // The read-back itself went wrong: the device may be gone, so stop here.
                if (failed)
                    return !firstDifference.isEmpty()
                        ? differs()
                        : ToolResult::failure(ExitTransferFailed,
                                              "The flash was not verified: " + problem + ". "
                                                  + retryAdvice);
                if (layout != layouts.cend() && refusedReadable.isEmpty())
                    refusedReadable = span(range) + " (" + problem + ")";
                if (!problems.contains(problem))
                    problems << problem;
            }
        }
    }

    if (anyRead && wholeReadBack)
        progress.context(
            QString("%1%2 (%3 bytes)")
                .arg(ReadBackHashPrefix, QString::fromLatin1(readBack.result().toHex()))
                .arg(readBackSize));
    if (!firstDifference.isEmpty())
        return differs();
    if (anyRead && !refusedReadable.isEmpty())
        return ToolResult::failure(ExitTransferFailed,
                                   "The flash was not verified: the device refused to read back "
                                       + refusedReadable
                                       + ", which its layout says can be read, while it read "
                                         "the rest. "
                                       + retryAdvice);
    if (!problems.isEmpty())
        return ToolResult::warning("Warning: the flash could not be verified ("
                                   + problems.join("; ") + "). The download itself went through.");
    progress.context("Flash verified: every byte matches the file");
    return ToolResult::success();
}
