// The list of devices the tool found, one row each, and the choice of one.
#include "app/devicechooser.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTreeWidget>
#include <QVBoxLayout>

DeviceChooser::DeviceChooser(const QList<DeviceLineReader::Device> &devices, QWidget *parent)
    : QDialog(parent)
    , list(new QTreeWidget)
{
    setWindowTitle("Choose a Device");

    auto *label = new QLabel("Several DFU devices are connected. Choose the one to update:");
    label->setWordWrap(true);

    list->setColumnCount(3);
    list->setHeaderLabels({"USB Port", "Vendor:Product", "Serial Number"});
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setAllColumnsShowFocus(true);
    for (const DeviceLineReader::Device &device : devices)
        new QTreeWidgetItem(list, {device.port, device.ids, device.serial});
    // Every column readable without scrolling sideways, a long serial number included.
    int width = 2 * list->frameWidth() + list->verticalScrollBar()->sizeHint().width();
    list->header()->setStretchLastSection(false);
    for (int column = 0; column < list->columnCount(); ++column) {
        list->resizeColumnToContents(column);
        width += list->columnWidth(column);
    }
    list->header()->setStretchLastSection(true);
    list->setMinimumWidth(width);

    auto *buttons = new QDialogButtonBox;
    updateButton = buttons->addButton("Update", QDialogButtonBox::AcceptRole);
    buttons->addButton(QDialogButtonBox::Cancel);
    // Nothing is chosen for the user: Enter alone must never flash a device.
    updateButton->setEnabled(false);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(list);
    layout->addWidget(buttons);

    connect(list, SIGNAL(itemSelectionChanged()), this, SLOT(selectionChanged()));
    connect(list, SIGNAL(itemActivated(QTreeWidgetItem *, int)), this, SLOT(accept()));
    connect(buttons, SIGNAL(accepted()), this, SLOT(accept()));
    connect(buttons, SIGNAL(rejected()), this, SLOT(reject()));
}

void DeviceChooser::accept()
{
    const QList<QTreeWidgetItem *> selected = list->selectedItems();
    if (selected.isEmpty())
        return;
    const QString port = selected.first()->text(0);
    // Closed before the update starts, so that nothing the update shows sits behind it.
    QDialog::accept();
    emit deviceChosen(port);
}

void DeviceChooser::selectionChanged()
{
    updateButton->setEnabled(!list->selectedItems().isEmpty());
}
