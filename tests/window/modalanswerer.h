// Answers the modal dialogs a test provokes, in order, and remembers what each one said.
#ifndef MODALANSWERER_H
#define MODALANSWERER_H

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <QtTest>

#include <functional>

struct ModalSnapshot
{
    QString className;
    QString title;
    QString text;
    QString informativeText;
    QString detailedText;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QMessageBox::StandardButtons buttons;
};

class ModalAnswerer
{
public:
    using Action = std::function<void(QWidget *)>;

    ModalAnswerer()
    {
        // Under 20 ms Qt for Windows takes a multimedia timer, whose callback Wine can still run
        // after the timer is gone.
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [this] { poll(); });
        timer.start();
    }

    void add(Action action) { actions.append(action); }
    bool idle() const { return actions.isEmpty(); }
    const QList<ModalSnapshot> &seen() const { return snapshots; }

    // Ready-made answers.
    static Action press(QMessageBox::StandardButton button)
    {
        return [button](QWidget *w) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (box && box->button(button))
                box->button(button)->click();
        };
    }
    static Action escape()
    {
        return [](QWidget *w) { QTest::keyClick(w, Qt::Key_Escape); };
    }

private:
    void poll()
    {
        QWidget *w = QApplication::activeModalWidget();
        // An answered dialog hides at once, so a visible one is always a new question.
        if (!w || !w->isVisible() || actions.isEmpty())
            return;
        ModalSnapshot shot;
        shot.className = QString::fromLatin1(w->metaObject()->className());
        shot.title = w->windowTitle();
        if (auto *box = qobject_cast<QMessageBox *>(w)) {
            shot.text = box->text();
            shot.informativeText = box->informativeText();
            shot.detailedText = box->detailedText();
            shot.icon = box->icon();
            shot.defaultButton = box->defaultButton() ? box->standardButton(box->defaultButton())
                                                      : QMessageBox::NoButton;
            shot.buttons = box->standardButtons();
        }
        snapshots.append(shot);
        actions.takeFirst()(w);
    }

    QTimer timer;
    QList<Action> actions;
    QList<ModalSnapshot> snapshots;
};

#endif // MODALANSWERER_H
