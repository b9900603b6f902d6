#pragma once
// Support for the application tests: the offscreen application, a window whose
// slots the tests can call, an answerer for message boxes, menus and dialogs, and
// the device simulator in the sandbox's device namespace.
#include <QApplication>
#include <QPointer>
#include <QStandardItemModel>
#include <QStringList>
#include <QTableView>
#include <QTimer>
#include <QVector>

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "SandboxFixture.h"
#include "app/BrenuSearchTools.h"

// The one application of the test process, on Qt's offscreen platform.
QApplication &TestApplication();

// The folder of the test program, where the programs it starts were built.
std::string ProgramDirectory();

// Waits up to `ms` for `done`, handling events meanwhile.
bool WaitFor(const std::function<bool()> &done, int ms);

// The main window with its slots and parts open to the tests.
class TestWindow : public BrenuSearchTools {
public:
    using BrenuSearchTools::BrenuSearchTools;
    using BrenuSearchTools::ExportListTo;
    using BrenuSearchTools::onOpenHttpView;
    using BrenuSearchTools::onRebootBrenu;
    using BrenuSearchTools::onUpdateBrenu;
    using BrenuSearchTools::slot_CheckSilence;
    using BrenuSearchTools::slot_OnCustomContextMenuRequested;
    using BrenuSearchTools::WatchUnansweredUpdate;

    QTableView *Table() const { return findChild<QTableView *>("tabView_brenu"); }
    QStandardItemModel *Model() const { return qobject_cast<QStandardItemModel *>(Table()->model()); }
    QString Count() const;
    QString Cell(int row, int column) const;
    // The row whose first cell reads serialNo, or -1.
    int RowOf(const QString &serialNo) const;
    // Passes one answer text as a searcher would, on this thread.
    void Answer(const QByteArray &json) { emit signal_MsgCallBack(json); }
};

// A search answer with the given data[0] members (JSON text without braces).
QByteArray SearchAnswer(const QByteArray &members);
// A complete record for serialNo at address:port, DHCP as given.
QByteArray DeviceAnswer(const QString &serialNo, const QString &address, int port = 8001, bool dhcp = false,
                        const QString &description = QString());

// Answers every modal widget and popup menu that shows up, in order, with the
// reactions queued; with none queued a message box gets its Ok (or Yes) button.
class ModalAnswerer : public QObject {
public:
    struct Seen {
        QString kind;  // "box", "menu" or the dialog's class name
        QString title; // window title
        QString text;  // box text
        QString detail; // box informative text
        QStringList buttons; // box buttons or menu entries, in order
        int icon = 0;
    };
    enum Reaction { Accept, Reject, ChooseFirst, ChooseSecond };

    ModalAnswerer();
    void Queue(Reaction reaction) { m_reactions.append(reaction); }
    const QVector<Seen> &seen() const { return m_seen; }

private:
    void Poll();
    void Answer(QWidget *widget);

    QTimer m_timer;
    QVector<Reaction> m_reactions;
    QVector<Seen> m_seen;
};

// brenu-devsim in the device namespace with its request log.
class Simulator {
public:
    // `routed`: in the routed devices' namespace (DeviceNetwork::AddRoutedSubnet).
    Simulator(const sandbox::DeviceNetwork &net, const std::vector<std::string> &options, bool routed = false);
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // False when the simulator did not report ready within a few seconds.
    bool Ready();
    // The JSON bodies of the datagrams that reached `endpoint` ("10.77.0.2:8001"),
    // in order; empty datagrams (keep-alives) are counted in `empties`.
    std::vector<std::string> Received(const std::string &endpoint, int *empties = nullptr) const;

private:
    std::vector<std::string> LogLines() const;

    std::string m_logPath;
    pid_t m_pid = -1;
};

// Tests in a fresh network sandbox with the application ready; the window is made
// on first use (after a simulator, when the test starts one, so that the first
// search finds the devices) and destroyed before the sandbox.
class WindowTest : public SandboxTest {
protected:
    void SetUp() override;
    void TearDown() override;
    TestWindow &Window();

    std::unique_ptr<TestWindow> window;
};
