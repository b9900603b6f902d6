// Program entry: options, Qt plug-in path, application, logger, icon, main window.
#include <QApplication>

#include "app/AppIdentity.h"
#include "app/BrenuSearchTools.h"
#include "app/CommandLine.h"
#include "app/Language.h"
#include "app/QuitOnSignal.h"
#include "kit/ToolLog.h"
#include "kit/Log.h"

int main(int argc, char *argv[])
{
    // --help, --version and mistakes end here, before anything needs a display.
    if (const std::optional<int> exitCode = HandleCommandLine(argc, argv))
        return *exitCode;

    // Beside the executable, never from the working directory.
    AddPluginFolder();
    SetApplicationIdentity();
    QApplication application(argc, argv);

    StartToolLog();
    InstallTranslations(application);

    QApplication::setWindowIcon(ApplicationIcon());

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
