// Program entry: Qt plug-in path, application, logger, icon, main window.
#include <QApplication>
#include <QIcon>
#include <QPixmap>

#include "app/BrenuSearchTools.h"
#include "app/QuitOnSignal.h"
#include "kit/Log.h"

int main(int argc, char *argv[])
{
    // Relative to the working directory, like the icon below.
    QCoreApplication::addLibraryPath("./plugins");
    QApplication application(argc, argv);

    Vant::LogInit();
    Vant::LogEnableExitFlush(true);
    Vant::LogEnable(true);
    Vant::LogEnableDelete(true);
    Vant::LogSetPrefix("BrenuSearchTools_");
    Vant::LogSetKeepDays(30);

    QApplication::setWindowIcon(QIcon(QPixmap("./BrenuSearchTools.ico")));

    int exitCode = 0;
    {
        BrenuSearchTools window;
        // A stop request from the system closes the window like the operator would.
        QuitOnSignal quitOnSignal(&window);
        window.show();
        exitCode = QApplication::exec();
    }
    // The window and its searchers are gone: write what they logged last.
    Vant::LogShutdown();
    return exitCode;
}
