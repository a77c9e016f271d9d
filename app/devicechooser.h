// Asks which of several connected DFU devices to update.
#ifndef DEVICECHOOSER_H
#define DEVICECHOOSER_H

#include "update/devicelinereader.h"

#include <QDialog>

class QPushButton;
class QTreeWidget;

class DeviceChooser : public QDialog
{
    Q_OBJECT

public:
    explicit DeviceChooser(const QList<DeviceLineReader::Device> &devices,
                           QWidget *parent = nullptr);

signals:
    void deviceChosen(const QString &port);

public slots:
    void accept() override;

private slots:
    void selectionChanged();

private:
    QTreeWidget *list;
    QPushButton *updateButton;
};

#endif // DEVICECHOOSER_H
