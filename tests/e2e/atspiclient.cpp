// Reads a running program's widgets the way a screen reader does: over the accessibility bus.
#include "atspiclient.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QRegularExpression>

namespace {

const char accessibleInterface[] = "org.a11y.atspi.Accessible";
const int callTimeoutMs = 15000;

} // namespace

QDBusArgument &operator<<(QDBusArgument &argument, const AccessibleObject &object)
{
    argument.beginStructure();
    argument << object.service << object.path;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, AccessibleObject &object)
{
    argument.beginStructure();
    argument >> object.service >> object.path;
    argument.endStructure();
    return argument;
}

AtSpiClient::AtSpiClient()
    : session(QString())
    , bus(QString())
{
    qDBusRegisterMetaType<AccessibleObject>();
    qDBusRegisterMetaType<QList<AccessibleObject>>();
}

AtSpiClient::~AtSpiClient()
{
    QDBusConnection::disconnectFromBus(bus.name());
    QDBusConnection::disconnectFromBus(session.name());
}

bool AtSpiClient::connectToBus(const QString &sessionAddress, QString *problem)
{
    session = QDBusConnection::connectToBus(sessionAddress, "session " + sessionAddress);
    QDBusMessage ask = QDBusMessage::createMethodCall("org.a11y.Bus", "/org/a11y/bus",
                                                      "org.a11y.Bus", "GetAddress");
    const QDBusMessage reply = session.call(ask, QDBus::Block, callTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        *problem = "no accessibility bus: " + reply.errorMessage();
        return false;
    }
    const QString address = reply.arguments().constFirst().toString();
    bus = QDBusConnection::connectToBus(address, "a11y " + address);
    if (!bus.isConnected()) {
        *problem = "cannot connect to the accessibility bus: " + bus.lastError().message();
        return false;
    }
    return true;
}

AccessibleObject AtSpiClient::application(qint64 pid) const
{
    const AccessibleObject registry {"org.a11y.atspi.Registry",
                                     QDBusObjectPath("/org/a11y/atspi/accessible/root")};
    for (const AccessibleObject &program : children(registry)) {
        if (bus.interface()->servicePid(program.service).value() == pid)
            return program;
    }
    return {};
}

QList<AccessibleObject> AtSpiClient::children(const AccessibleObject &object) const
{
    const QDBusMessage reply = call(object, accessibleInterface, "GetChildren");
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return qdbus_cast<QList<AccessibleObject>>(reply.arguments().constFirst());
}

QString AtSpiClient::name(const AccessibleObject &object) const
{
    return property(object, accessibleInterface, "Name").toString();
}

QString AtSpiClient::role(const AccessibleObject &object) const
{
    const QDBusMessage reply = call(object, accessibleInterface, "GetRoleName");
    return reply.arguments().isEmpty() ? QString() : reply.arguments().constFirst().toString();
}

QRect AtSpiClient::extents(const AccessibleObject &object) const
{
    const uint screenCoordinates = 0;
    const QDBusMessage reply
        = call(object, "org.a11y.atspi.Component", "GetExtents", {screenCoordinates});
    if (reply.arguments().isEmpty())
        return {};
    return qdbus_cast<QRect>(reply.arguments().constFirst());
}

QString AtSpiClient::text(const AccessibleObject &object) const
{
    const QDBusMessage reply = call(object, "org.a11y.atspi.Text", "GetText", {0, -1});
    return reply.arguments().isEmpty() ? QString() : reply.arguments().constFirst().toString();
}

double AtSpiClient::value(const AccessibleObject &object) const
{
    return property(object, "org.a11y.atspi.Value", "CurrentValue").toDouble();
}

AccessibleObject AtSpiClient::find(const AccessibleObject &root, const QString &role,
                                   const QRegularExpression &name) const
{
    if (this->role(root) == role && name.match(this->name(root)).hasMatch())
        return root;
    for (const AccessibleObject &child : children(root)) {
        const AccessibleObject found = find(child, role, name);
        if (!found.isNull())
            return found;
    }
    return {};
}

QDBusMessage AtSpiClient::call(const AccessibleObject &object, const QString &interface,
                               const QString &method, const QVariantList &arguments) const
{
    QDBusMessage message
        = QDBusMessage::createMethodCall(object.service, object.path.path(), interface, method);
    message.setArguments(arguments);
    return bus.call(message, QDBus::Block, callTimeoutMs);
}

QVariant AtSpiClient::property(const AccessibleObject &object, const QString &interface,
                               const QString &name) const
{
    const QDBusMessage reply
        = call(object, "org.freedesktop.DBus.Properties", "Get", {interface, name});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return qdbus_cast<QDBusVariant>(reply.arguments().constFirst()).variant();
}
