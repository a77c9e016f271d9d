// The signals that would end the tool (SIGINT, SIGTERM, SIGHUP), caught while it updates
// several devices and delivered through the event loop, so that it can end their tools first.
// Windows sends none that a handler could pass on: Ctrl-C reaches every tool of the console.
#ifndef ENDINGSIGNALS_H
#define ENDINGSIGNALS_H

#include <QObject>

class QSocketNotifier;

class EndingSignals : public QObject
{
    Q_OBJECT

public:
    explicit EndingSignals(QObject *parent = nullptr);
    ~EndingSignals() override;

    // Ends the tool as the signal would have, once it is done.
    static void endBy(int signal);

signals:
    void caught(int signal);

private slots:
    void readSignal();

private:
    QSocketNotifier *notifier = nullptr;
};

#endif // ENDINGSIGNALS_H
