// Program entry: options, Qt plug-in path, application, logger, language, icon, main
// window with its remembered layout.
#include <QApplication>
#include <QSettings>

#include "app/AppIdentity.h"
#include "app/BrenuSearchTools.h"
#include "app/CommandLine.h"
#include "app/DeviceTable.h"
#include "app/Language.h"
#include "app/WindowLayout.h"
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
        QSettings settings(WindowLayoutPath(), QSettings::IniFormat);
        QString problem;
        const WindowLayout layout = ReadWindowLayout(settings, DeviceTable::ColumnCount, problem);
        if (!problem.isEmpty())
            Vant::LogWrite("Settings", (settings.fileName() + QStringLiteral(" ") + problem +
                                        QStringLiteral("; the window starts with its default layout"))
                                           .toUtf8()
                                           .toStdString());
        window.ApplyLayout(layout, ScreenGeometries());
        window.SetRangeSettingsFile(settings.fileName());
        window.show();
        exitCode = QApplication::exec();
        // The layout's write starts the file afresh: the search ranges follow it.
        const bool written = WriteWindowLayout(settings, window.Layout());
        WriteRangeSettings(settings, window.RangeChoices());
        settings.sync();
        if (!written || settings.status() != QSettings::NoError)
            Vant::LogWrite("Settings", ("cannot write " + settings.fileName()).toUtf8().toStdString());
    }
    // The window and its searchers are gone: write what they logged last.
    Vant::LogShutdown();
    return exitCode;
}
