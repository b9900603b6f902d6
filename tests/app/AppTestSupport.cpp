#include "AppTestSupport.h"

#include <QAbstractButton>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QTest>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "RequestLog.h"
#include "app/DeviceTable.h"

// Fontconfig keeps its caches until the process ends; they are not the program's.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}

QApplication &TestApplication()
{
    static int argc = 1;
    static char name[] = "app-test";
    static char *argv[] = {name, nullptr};
    static QApplication *application = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return *application;
}

bool WaitFor(const std::function<bool()> &done, int ms)
{
    return QTest::qWaitFor(done, ms);
}

QString TestWindow::Count() const
{
    return findChild<QLabel *>("lab_brenuNum")->text();
}

QString TestWindow::Cell(int row, int column) const
{
    return Model()->index(row, column).data().toString();
}

int TestWindow::RowOf(const QString &serialNo) const
{
    for (int row = 0; row < Model()->rowCount(); ++row) {
        if (Cell(row, 0) == serialNo)
            return row;
    }
    return -1;
}

QByteArray SearchAnswer(const QByteArray &members)
{
    return R"({"version":0,"kind":0,"sessionId":"0","api":"/brenu/model/searchbrenu.htm","params":{"data":[{)" +
           members + "}]}}";
}

QByteArray DeviceAnswer(const QString &serialNo, const QString &address, int port, bool dhcp,
                        const QString &description)
{
    return SearchAnswer(QString(R"("serialNo":"%1","address":"%2","port":%3,"dhcp":%4,"subnetMask":"255.255.255.0",)"
                                R"("gateway":"10.77.0.254","dns":"10.77.0.253","mac":"02:00:00:00:00:01","description":"%5")")
                            .arg(serialNo, address)
                            .arg(port)
                            .arg(dhcp ? "true" : "false", description)
                            .toUtf8());
}

ModalAnswerer::ModalAnswerer()
{
    connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::Poll);
    m_timer.start(20);
}

void ModalAnswerer::Poll()
{
    QWidget *widget = QApplication::activePopupWidget();
    if (!widget)
        widget = QApplication::activeModalWidget();
    if (!widget || !widget->isVisible() || widget->property("answered").toBool())
        return;
    widget->setProperty("answered", true);
    // Answered from a fresh call: the reaction may start another modal loop (a menu
    // entry that opens a dialog), and this timer cannot fire again inside its own call.
    QPointer<QWidget> target(widget);
    QTimer::singleShot(0, this, [this, target] {
        if (!target)
            return;
        Answer(target);
        // The window reuses its dialog: the next showing needs an answer again.
        if (target)
            target->setProperty("answered", false);
    });
}

void ModalAnswerer::Answer(QWidget *widget)
{
    const Reaction reaction = m_reactions.isEmpty() ? Accept : m_reactions.takeFirst();
    Seen seen;
    seen.title = widget->windowTitle();
    if (auto *box = qobject_cast<QMessageBox *>(widget)) {
        seen.kind = "box";
        seen.text = box->text();
        seen.detail = box->informativeText();
        seen.icon = box->icon();
        for (QAbstractButton *button : box->buttons())
            seen.buttons << button->text();
        m_seen.append(seen);
        QAbstractButton *ok = box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok) : box->button(QMessageBox::Yes);
        QAbstractButton *cancel = box->button(QMessageBox::Cancel);
        if (reaction == Reject && cancel)
            cancel->click();
        else if (reaction == Reject)
            box->reject();
        else if (ok)
            ok->click();
        else
            box->accept();
    } else if (auto *menu = qobject_cast<QMenu *>(widget)) {
        seen.kind = "menu";
        for (QAction *action : menu->actions())
            seen.buttons << action->text();
        m_seen.append(seen);
        const int choice = reaction == ChooseFirst ? 0 : reaction == ChooseSecond ? 1 : -1;
        QAction *chosen = choice >= 0 && choice < menu->actions().size() ? menu->actions().at(choice) : nullptr;
        menu->close();
        if (chosen)
            chosen->trigger();
    } else if (auto *dialog = qobject_cast<QDialog *>(widget)) {
        seen.kind = dialog->metaObject()->className();
        m_seen.append(seen);
        dialog->close();
    }
}

std::string ProgramDirectory()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0)
        return ".";
    std::string text(path, static_cast<size_t>(n));
    return text.substr(0, text.rfind('/'));
}

Simulator::Simulator(const sandbox::DeviceNetwork &net, const std::vector<std::string> &options, bool routed)
{
    char pattern[] = "/tmp/app-test-devsim-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd >= 0)
        close(fd);
    m_logPath = pattern;
    std::vector<std::string> argv{ProgramDirectory() + "/brenu-devsim", "--log", m_logPath, "--exit-with-parent", "--quiet"};
    argv.insert(argv.end(), options.begin(), options.end());
    m_pid = routed ? net.SpawnInRouted(argv) : net.SpawnInDevice(argv);
}

Simulator::~Simulator()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
    unlink(m_logPath.c_str());
}

std::vector<std::string> Simulator::LogLines() const
{
    std::vector<std::string> lines;
    std::ifstream in(m_logPath);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool Simulator::Ready()
{
    if (m_pid <= 0)
        return false;
    for (int i = 0; i < 500; ++i) {
        for (const std::string &line : LogLines()) {
            if (line.compare(0, 6, "ready ") == 0)
                return true;
        }
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::vector<std::string> Simulator::Received(const std::string &endpoint, int *empties) const
{
    std::vector<std::string> bodies;
    if (empties)
        *empties = 0;
    const std::string to = " to=" + endpoint + " ";
    for (const std::string &line : LogLines()) {
        if (line.compare(0, 3, "rx ") != 0 || line.find(to) == std::string::npos)
            continue;
        const size_t data = line.find(" data=");
        std::string bytes;
        if (data == std::string::npos || !devsim::UnescapeBytes(line.substr(data + 6), bytes))
            continue;
        // 8-byte magic and 16-digit length in front of the body.
        if (bytes.empty() && empties)
            ++*empties;
        else if (bytes.size() > 24)
            bodies.push_back(bytes.substr(24));
    }
    return bodies;
}

void WindowTest::SetUp()
{
    SandboxTest::SetUp();
    TestApplication();
}

void WindowTest::TearDown()
{
    window.reset();
    SandboxTest::TearDown();
}

TestWindow &WindowTest::Window()
{
    if (!window)
        window = std::make_unique<TestWindow>();
    return *window;
}
