// Read-back verification, shared by every backend.
#include "updatetool/flashverifier.h"

#include "updatetool/dfusefile.h"
#include "updatetool/dfuseformat.h"
#include "updatetool/phasereporter.h"

#include <QStringList>

namespace {

const char retryAdvice[] = "The device stays in DFU mode: retry the update.";

QString hex8(char byte)
{
    return "0x" + QString::number(uchar(byte), 16).toUpper().rightJustified(2, QChar('0'));
}

} // namespace

ToolResult FlashVerifier::verify(const DfuSeFile &file, PhaseReporter &progress, const Reader &read)
{
    progress.context("Verifying: reading every element back from the device");
    QString firstDifference;
    QStringList problems;
    const auto differs = [&] {
        return ToolResult::failure(ExitTransferFailed,
                                   "The flash verification failed at " + firstDifference + ". "
                                       + retryAdvice);
    };
    for (const DfuSeTarget &target : file.targets) {
        for (const DfuSeElement &element : target.elements) {
            if (element.data.isEmpty())
                continue;
            const QString where = DfuSeFormat::hex32(element.address);
            const ReadBack back = read(target.alternateSetting, element);
            QString problem = back.problem;
            bool failed = back.failed;
            if (back.ok) {
                const QByteArray &found = back.bytes;
                const int common = qMin(found.size(), element.data.size());
                int at = 0;
                while (at < common && found.at(at) == element.data.at(at))
                    ++at;
                if (at < common) {
                    const QString difference
                        = QString("%1: expected %2, found %3")
                              .arg(DfuSeFormat::hex32(quint32(element.address + at)),
                                   hex8(element.data.at(at)), hex8(found.at(at)));
                    progress.context("Element at " + where + " differs from the file, first at "
                                     + difference);
                    if (firstDifference.isEmpty())
                        firstDifference = difference;
                    continue;
                }
                if (found.size() == element.data.size()) {
                    progress.context(
                        QString("Verified %1 bytes at %2").arg(element.data.size()).arg(where));
                    continue;
                }
                problem = QString("the device returned %1 of the %2 bytes at %3")
                              .arg(found.size())
                              .arg(element.data.size())
                              .arg(where);
                failed = true;
            }
            progress.context("Element at " + where + " not checked: " + problem);
            // The read-back itself went wrong: the device may be gone, so stop here.
            if (failed)
                return !firstDifference.isEmpty()
                    ? differs()
                    : ToolResult::failure(ExitTransferFailed,
                                          "The flash was not verified: " + problem + ". "
                                              + retryAdvice);
            if (!problems.contains(problem))
                problems << problem;
        }
    }

    if (!firstDifference.isEmpty())
        return differs();
    if (!problems.isEmpty())
        return ToolResult::warning("Warning: the flash could not be verified ("
                                   + problems.join("; ") + "). The download itself went through.");
    progress.context("Flash verified: every byte matches the file");
    return ToolResult::success();
}
