// The firmware.metainfo.xml of a cabinet.
#include "dfusepack/fwupdmetainfo.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QStringList>
#include <QUuid>
#include <QXmlStreamWriter>

namespace {

// RFC 4122's namespace for DNS names, which fwupd hashes instance ids in.
const QUuid DnsNamespace("{6ba7b810-9dad-11d1-80b4-00c04fd430c8}");

QString hex4(quint16 value)
{
    return QString("%1").arg(value, 4, 16, QChar('0')).toUpper();
}

} // namespace

QString FwupdMetainfo::deviceGuid(quint16 vendor, quint16 product)
{
    const QString instance = "USB\\VID_" + hex4(vendor) + "&PID_" + hex4(product);
    return QUuid::createUuidV5(DnsNamespace, instance.toUtf8()).toString(QUuid::WithoutBraces);
}

QString FwupdMetainfo::bcdVersion(quint16 bcd)
{
    for (int shift = 0; shift < 16; shift += 4) {
        if (((bcd >> shift) & 0xF) > 9)
            return {};
    }
    const int major = (bcd >> 12) * 10 + ((bcd >> 8) & 0xF);
    const int minor = ((bcd >> 4) & 0xF) * 10 + (bcd & 0xF);
    return QString("%1.%2").arg(major).arg(minor);
}

QString FwupdMetainfo::problem() const
{
    const QStringList required = {id, name, summary, developer, projectLicense, description};
    const QStringList options = {"--cab-id",        "--cab-name",    "--cab-summary",
                                 "--cab-developer", "--cab-license", "--cab-description"};
    for (int i = 0; i < required.size(); ++i) {
        if (required[i].trimmed().isEmpty())
            return "A cabinet needs " + options[i] + ".";
    }
    if (!QRegularExpression("^[A-Za-z][A-Za-z0-9_-]*(\\.[A-Za-z0-9_-]+)+\\.firmware$")
             .match(id)
             .hasMatch())
        return "--cab-id \"" + id + "\" is not a reverse-DNS id ending in \".firmware\".";
    if (vendor == 0xFFFF || product == 0xFFFF)
        return "A cabinet needs --vid and --pid other than 0xFFFF: fwupd finds the device by them.";
    if (bcdVersion(version).isEmpty() || version == 0xFFFF)
        return QString("--bcd 0x%1 is no release version: a cabinet needs one in decimal digits, "
                       "0x0123 for 1.23.")
            .arg(hex4(version));
    if (!date.isValid())
        return "--cab-date takes a date as YYYY-MM-DD.";
    if (!QStringList {"low", "medium", "high", "critical"}.contains(urgency))
        return "--cab-urgency is low, medium, high or critical, not \"" + urgency + "\".";
    if (integrity != "signed" && integrity != "unsigned")
        return "--cab-integrity is signed or unsigned, not \"" + integrity + "\".";
    if (!QRegularExpression("^[0-9]+(\\.[0-9]+){1,3}$").match(fwupdVersion).hasMatch())
        return "--cab-fwupd takes a fwupd version such as 1.8.12, not \"" + fwupdVersion + "\".";
    return {};
}

QByteArray FwupdMetainfo::xml() const
{
    QByteArray bytes;
    QXmlStreamWriter xml(&bytes);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement("component");
    xml.writeAttribute("type", "firmware");
    xml.writeTextElement("id", id);
    xml.writeTextElement("name", name);
    xml.writeTextElement("summary", summary);
    xml.writeTextElement("developer_name", developer);
    xml.writeTextElement("metadata_license", metadataLicense);
    xml.writeTextElement("project_license", projectLicense);

    xml.writeStartElement("provides");
    xml.writeStartElement("firmware");
    xml.writeAttribute("type", "flashed");
    xml.writeCharacters(deviceGuid(vendor, product));
    xml.writeEndElement();
    xml.writeEndElement();

    xml.writeStartElement("requires");
    xml.writeStartElement("id");
    xml.writeAttribute("compare", "ge");
    xml.writeAttribute("version", fwupdVersion);
    xml.writeCharacters("org.freedesktop.fwupd");
    xml.writeEndElement();
    xml.writeEndElement();

    xml.writeStartElement("releases");
    xml.writeStartElement("release");
    xml.writeAttribute("version", bcdVersion(version));
    xml.writeAttribute("date", date.toString(Qt::ISODate));
    xml.writeAttribute("urgency", urgency);
    xml.writeStartElement("checksum");
    xml.writeAttribute("target", "content");
    xml.writeAttribute("filename", firmwareName);
    xml.writeAttribute("type", "sha256");
    xml.writeCharacters(QCryptographicHash::hash(firmware, QCryptographicHash::Sha256).toHex());
    xml.writeEndElement();
    xml.writeStartElement("description");
    for (const QString &paragraph : description.split("\n\n", Qt::SkipEmptyParts))
        xml.writeTextElement("p", paragraph.simplified());
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndElement();

    xml.writeStartElement("custom");
    const QStringList keys
        = {"LVFS::UpdateProtocol", "LVFS::VersionFormat", "LVFS::DeviceIntegrity"};
    const QStringList values = {dfuse ? "com.st.dfuse" : "org.usb.dfu", "bcd", integrity};
    for (int i = 0; i < keys.size(); ++i) {
        xml.writeStartElement("value");
        xml.writeAttribute("key", keys[i]);
        xml.writeCharacters(values[i]);
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return bytes;
}
