// The download's plan.
#include "dfuse/downloadplan.h"

#include "dfuse/dfuseformat.h"

#include <algorithm>
#include <set>

namespace {

struct Place
{
    int target;
    int element;
};

struct Group
{
    QVector<Place> members;
    std::set<uint64_t> erasable;
};

bool shareASector(const Group &a, const Group &b)
{
    return std::any_of(a.erasable.cbegin(), a.erasable.cend(),
                       [&](uint64_t start) { return b.erasable.count(start) > 0; });
}

QString misfitOf(const DfuSeTarget &target, int t, int e, const MemoryLayout &layout)
{
    const DfuSeElement &element = target.elements.at(e);
    const std::vector<MemoryRange> unwritable = layout.rangesWithout(
        element.address, uint64_t(element.data.size()), MemoryLayout::Writable);
    if (unwritable.empty())
        return QString();
    const MemoryRange &range = unwritable.front();
    const QString where = layout.sectorAt(range.start)
        ? "reaches sectors of the memory \"%1\" that cannot be written"
        : "lies outside the memory \"%1\"";
    return QString("Element %1 of target %2 (alternate setting %3, %4 bytes at %5) ")
               .arg(e + 1)
               .arg(t + 1)
               .arg(target.alternateSetting)
               .arg(element.data.size())
               .arg(DfuSeFormat::hex32(element.address))
        + where.arg(QString::fromStdString(layout.name).trimmed())
        + QString(", from %1 to %2: the firmware file does not fit this device. Nothing was "
                  "written.")
              .arg(DfuSeFormat::hex32(quint32(range.start)),
                   DfuSeFormat::hex32(quint32(range.end - 1)));
}

} // namespace

DownloadPlan DownloadPlan::make(const DfuSeFile &file, const MemoryLayouts &layouts)
{
    DownloadPlan plan;
    plan.file = file;
    QMap<int, QVector<Group>> groups;
    for (int t = 0; t < file.targets.size(); ++t) {
        const DfuSeTarget &target = file.targets.at(t);
        for (int e = 0; e < target.elements.size(); ++e) {
            const DfuSeElement &element = target.elements.at(e);
            if (element.data.isEmpty()) {
                plan.notes << QString("The element at %1 of alternate setting %2 holds no bytes: "
                                      "it is left out of the download")
                                  .arg(DfuSeFormat::hex32(element.address))
                                  .arg(target.alternateSetting);
                continue;
            }
            Group group {{{t, e}}, {}};
            const auto layout = layouts.constFind(target.alternateSetting);
            if (layout != layouts.cend() && plan.misfit.isEmpty())
                plan.misfit = misfitOf(target, t, e, *layout);
            if (layout != layouts.cend()) {
                for (const MemorySector &sector :
                     layout->sectorsIn(element.address, uint64_t(element.data.size()))) {
                    if (sector.has(MemoryLayout::Erasable))
                        group.erasable.insert(sector.start);
                }
            }
            groups[target.alternateSetting] << group;
        }
    }

    // Elements are merged where they share a sector; the merged span touches no new sector,
    // as the bytes between them lie in the sectors they share.
    QVector<QVector<Place>> merged;
    for (auto it = groups.begin(); it != groups.end(); ++it) {
        QVector<Group> &list = it.value();
        for (int i = 0; i < list.size(); ++i) {
            for (int j = i + 1; j < list.size();) {
                if (shareASector(list.at(i), list.at(j))) {
                    list[i].members += list.at(j).members;
                    list[i].erasable.insert(list.at(j).erasable.cbegin(),
                                            list.at(j).erasable.cend());
                    list.remove(j);
                    j = i + 1;
                } else {
                    ++j;
                }
            }
            if (list.at(i).members.size() > 1)
                merged << list.at(i).members;
        }
    }

    QVector<QVector<bool>> dropped;
    for (const DfuSeTarget &target : file.targets) {
        QVector<bool> drop;
        for (const DfuSeElement &element : target.elements)
            drop << element.data.isEmpty();
        dropped << drop;
    }
    for (QVector<Place> members : merged) {
        // The merged element stands where the first of them stood in the file.
        std::sort(members.begin(), members.end(), [](const Place &a, const Place &b) {
            return a.target != b.target ? a.target < b.target : a.element < b.element;
        });
        quint32 start = 0xFFFFFFFF;
        qint64 end = 0;
        QStringList addresses;
        for (const Place &place : members) {
            const DfuSeElement &element = file.targets.at(place.target).elements.at(place.element);
            start = qMin(start, element.address);
            end = qMax(end, qint64(element.address) + element.data.size());
            addresses << DfuSeFormat::hex32(element.address);
        }
        // The bytes between them as the sector holds them after its erase.
        DfuSeElement joined {start, QByteArray(int(end - start), char(0xFF))};
        for (const Place &place : members) {
            const DfuSeElement &element = file.targets.at(place.target).elements.at(place.element);
            joined.data.replace(int(element.address - start), element.data.size(), element.data);
            dropped[place.target][place.element] = true;
        }
        const Place first = members.first();
        plan.file.targets[first.target].elements[first.element] = joined;
        dropped[first.target][first.element] = false;
        const int alternate = file.targets.at(first.target).alternateSetting;
        plan.notes << QString("The elements at %1 of alternate setting %2 share an erasable "
                              "sector, which dfu-util would erase again for each: they are "
                              "written as one element of %3 bytes at %4, 0xFF between them")
                          .arg(addresses.join(", "))
                          .arg(alternate)
                          .arg(joined.data.size())
                          .arg(DfuSeFormat::hex32(start));
    }
    for (int t = 0; t < plan.file.targets.size(); ++t) {
        QVector<DfuSeElement> &elements = plan.file.targets[t].elements;
        for (int e = elements.size() - 1; e >= 0; --e) {
            if (dropped.at(t).at(e))
                elements.remove(e);
        }
    }
    return plan;
}

MemoryLayouts DownloadPlan::layoutsOf(const QMap<int, QString> &names, QStringList *notes)
{
    MemoryLayouts layouts;
    for (auto it = names.cbegin(); it != names.cend(); ++it) {
        std::string error;
        const std::optional<MemoryLayout> layout
            = MemoryLayout::parse(it.value().toStdString(), &error);
        if (layout)
            layouts.insert(it.key(), *layout);
        else
            *notes << QString("Alternate setting %1 has a %2; its elements are read back whole")
                          .arg(it.key())
                          .arg(QString::fromStdString(error));
    }
    return layouts;
}

quint32 DownloadPlan::leaveAddress(const DfuSeFile &file, const MemoryLayouts &layouts)
{
    if (layouts.contains(0))
        return layouts.value(0).base();
    quint32 lowest[2] = {0xFFFFFFFF, 0xFFFFFFFF};
    bool found[2] = {false, false};
    for (const DfuSeTarget &target : file.targets) {
        for (const DfuSeElement &element : target.elements) {
            const int which = target.alternateSetting == 0 ? 0 : 1;
            if (element.data.isEmpty() || (found[which] && element.address >= lowest[which]))
                continue;
            lowest[which] = element.address;
            found[which] = true;
        }
    }
    return found[0] ? lowest[0] : lowest[1];
}
