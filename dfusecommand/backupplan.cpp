// The backup's plan.
#include "dfusecommand/backupplan.h"

#include "dfuse/dfuseformat.h"
#include "dfuse/dfusewriter.h"

#include <map>
#include <set>

namespace {

QString span(uint64_t start, uint64_t end)
{
    return DfuSeFormat::hex32(quint32(start)) + " to " + DfuSeFormat::hex32(quint32(end - 1));
}

} // namespace

BackupPlan BackupPlan::make(const DfuSeFile &download, const MemoryLayouts &layouts)
{
    BackupPlan plan;
    plan.kind = download.kind;
    if (download.kind == DfuSeFile::Plain) {
        // A plain device writes from 0 as far as the image reaches.
        plan.parts << Part {0, 0, download.dataSize(), {}};
        return plan;
    }
    // Per setting, [start, end) with whether it can be read; std::map keeps address order.
    std::map<int, std::map<uint64_t, std::pair<uint64_t, bool>>> spans;
    for (const DfuSeTarget &target : download.targets) {
        auto &inSetting = spans[target.alternateSetting];
        const auto layout = layouts.constFind(target.alternateSetting);
        for (const DfuSeElement &element : target.elements) {
            const uint64_t size = uint64_t(element.data.size());
            if (size == 0)
                continue;
            // Without a layout, only what the element itself overwrites is known.
            if (layout == layouts.cend()) {
                inSetting[element.address] = {element.address + size, true};
                continue;
            }
            for (const MemorySector &sector : layout->sectorsIn(element.address, size)) {
                if (sector.has(MemoryLayout::Erasable))
                    inSetting[sector.start] = {sector.end(), sector.has(MemoryLayout::Readable)};
            }
        }
    }
    for (const auto &setting : spans) {
        Part run;
        bool runReadable = false;
        uint64_t runEnd = 0;
        const auto close = [&] {
            if (run.size == 0)
                return;
            if (runReadable)
                plan.parts << run;
            else
                plan.unreadable << span(run.address, runEnd);
            run.size = 0;
        };
        for (const auto &sector : setting.second) {
            const uint64_t start = sector.first;
            const uint64_t end = sector.second.first;
            const bool readable = sector.second.second;
            if (run.size > 0 && start <= runEnd && readable == runReadable) {
                runEnd = qMax(runEnd, end);
                run.size = qint64(runEnd - run.address);
                continue;
            }
            close();
            run = Part {quint8(setting.first), quint32(start), qint64(end - start), {}};
            runReadable = readable;
            runEnd = end;
        }
        close();
    }
    return plan;
}

QByteArray BackupPlan::fileBytes(quint16 vendorId, quint16 productId) const
{
    DfuSeFile file;
    file.kind = kind;
    file.vendorId = vendorId;
    file.productId = productId;
    for (const Part &part : parts) {
        if (part.bytes.isEmpty())
            continue;
        if (file.targets.isEmpty() || file.targets.last().alternateSetting != part.alternateSetting)
            file.targets << DfuSeTarget {part.alternateSetting, false, {}, {}};
        file.targets.last().elements << DfuSeElement {part.address, part.bytes};
    }
    return kind == DfuSeFile::Plain ? DfuSeWriter::writePlain(file) : DfuSeWriter::write(file);
}

qint64 BackupPlan::size() const
{
    qint64 total = 0;
    for (const Part &part : parts)
        total += part.size;
    return total;
}
