// Reads a running program's widgets the way a screen reader does: over the accessibility bus.
#ifndef ATSPICLIENT_H
#define ATSPICLIENT_H

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QList>
#include <QMetaType>
#include <QRect>
#include <QString>
#include <QVariant>

class QDBusMessage;
class QRegularExpression;

// One object of a program's accessibility tree: the program's bus name and the object's path.
struct AccessibleObject
{
    QString service;
    QDBusObjectPath path;

    bool isNull() const { return service.isEmpty(); }
};
Q_DECLARE_METATYPE(AccessibleObject)

class AtSpiClient
{
public:
    AtSpiClient();
    ~AtSpiClient();

    // Asks the session bus at this address for the accessibility bus, starting it if need be,
    // and connects to it.
    bool connectToBus(const QString &sessionAddress, QString *problem);

    // The root of the program with this process id, once it has registered.
    AccessibleObject application(qint64 pid) const;

    QList<AccessibleObject> children(const AccessibleObject &object) const;
    QString name(const AccessibleObject &object) const;
    QString role(const AccessibleObject &object) const;
    // Where the object is on the screen, in screen coordinates.
    QRect extents(const AccessibleObject &object) const;
    QString text(const AccessibleObject &object) const;
    double value(const AccessibleObject &object) const;

    // The first object at or under root, depth first, with this role and a matching name.
    AccessibleObject find(const AccessibleObject &root, const QString &role,
                          const QRegularExpression &name) const;

private:
    QDBusMessage call(const AccessibleObject &object, const QString &interface,
                      const QString &method, const QVariantList &arguments = {}) const;
    QVariant property(const AccessibleObject &object, const QString &interface,
                      const QString &name) const;

    QDBusConnection session;
    QDBusConnection bus;
};

#endif // ATSPICLIENT_H
