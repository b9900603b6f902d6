#pragma once
// Ends the program through its normal shut-down when the process is asked to stop
// (SIGTERM, SIGINT from a terminal, SIGHUP at logout): the main window is closed as
// if the operator had closed it, so the searchers are stopped and the log's queued
// records are written before the process ends.
#include <QObject>
#include <QPointer>
#include <QWidget>

class QSocketNotifier;

class QuitOnSignal : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; only one instance may exist at a time.
    explicit QuitOnSignal(QWidget *window);
    // Puts the previous handlers back.
    ~QuitOnSignal() override;

    bool ok() const { return m_notifier != nullptr; }

private:
    void SignalArrived();

    QPointer<QWidget> m_window;
    QSocketNotifier *m_notifier = nullptr;
};
