#include "kit/LogLocation.h"

#include <cstdlib>

#include <pwd.h>
#include <unistd.h>

#include "kit/FileUtil.h"

namespace Vant {

namespace {

bool StartsWith(const std::string &text, const char *prefix) { return text.rfind(prefix, 0) == 0; }

// Program folders of the system hierarchy: shareable and read-only by convention,
// even when the user (root) could write there, and unknown to the package manager
// that would have to remove a log folder made in them.
bool InSystemProgramHierarchy(const std::string &directory)
{
    return StartsWith(directory, "/usr/") || StartsWith(directory, "/bin/") || StartsWith(directory, "/sbin/");
}

bool IsAbsolute(const char *path) { return path && path[0] == '/'; }

bool UsableDirectory(const std::string &path)
{
    return !path.empty() && CreateDirectoryPath(path) && IsPathOnVolume(path) &&
           access(path.c_str(), W_OK | X_OK) == 0;
}

} // namespace

LogLocations LogLocationsFor(const std::string &exeDirectory, const char *xdgStateHome, const char *home)
{
    LogLocations locations;
    if (!exeDirectory.empty() && !InSystemProgramHierarchy(exeDirectory))
        locations.besideExecutable = AddBackslash(exeDirectory) + "log/";
    std::string stateHome;
    if (IsAbsolute(xdgStateHome))
        stateHome = xdgStateHome;
    else if (IsAbsolute(home))
        stateHome = AddBackslash(home) + ".local/state";
    if (!stateHome.empty())
        locations.stateDirectory = AddBackslash(stateHome) + kLogStateFolder + "/log/";
    return locations;
}

LogLocations DefaultLogLocations()
{
    const char *home = std::getenv("HOME");
    if (!home || !*home) {
        const struct passwd *entry = getpwuid(geteuid());
        home = entry ? entry->pw_dir : nullptr;
    }
    return LogLocationsFor(GetModuleDirectory(), std::getenv("XDG_STATE_HOME"), home);
}

std::string ChooseLogDirectory(const LogLocations &locations)
{
    if (UsableDirectory(locations.besideExecutable))
        return locations.besideExecutable;
    if (UsableDirectory(locations.stateDirectory))
        return locations.stateDirectory;
    return std::string();
}

} // namespace Vant
