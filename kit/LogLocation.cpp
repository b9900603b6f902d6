#include "kit/LogLocation.h"

#include <cstdlib>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kit/FileUtil.h"

namespace Vant {

namespace {

bool StartsWith(const std::string &text, const std::string &prefix) { return text.rfind(prefix, 0) == 0; }

bool IsAbsolute(const char *path) { return path && path[0] == '/'; }

bool UsableDirectory(const std::string &path)
{
    return !path.empty() && CreateDirectoryPath(path) && IsPathOnVolume(path) &&
           access(path.c_str(), W_OK | X_OK) == 0;
}

// Takes group and other permissions away from a directory of this user; a link in
// the directory's place, or someone else's directory, is left alone.
void MakePrivate(const std::string &directory)
{
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 077) != 0 &&
        fchmod(fd, st.st_mode & 0700) != 0) {
        // Not ours to change after all: the folder stays as it was.
    }
    ::close(fd);
}

// "<state>/BrenuSearchTools/" of "<state>/BrenuSearchTools/log/".
std::string ParentFolder(const std::string &folder)
{
    const std::size_t slash = folder.rfind('/', folder.size() >= 2 ? folder.size() - 2 : 0);
    return slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
}

} // namespace

bool InSystemProgramHierarchy(const std::string &directory)
{
    for (const char *hierarchy : {"/usr/", "/opt/", "/bin/", "/sbin/"})
        if (StartsWith(directory, hierarchy))
            return true;
    return false;
}

bool IsOwnProgramFolder(const std::string &directory, uid_t user)
{
    struct stat st;
    return !directory.empty() && stat(directory.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == user;
}

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
    const std::string exeDirectory = GetModuleDirectory();
    LogLocations locations = LogLocationsFor(exeDirectory, std::getenv("XDG_STATE_HOME"), home);
    if (!IsOwnProgramFolder(exeDirectory, geteuid()))
        locations.besideExecutable.clear();
    return locations;
}

std::string ChooseLogDirectory(const LogLocations &locations)
{
    SetPrivateCreation(false);
    if (UsableDirectory(locations.besideExecutable))
        return locations.besideExecutable;
    if (locations.stateDirectory.empty())
        return std::string();
    SetPrivateCreation(true);
    if (!UsableDirectory(locations.stateDirectory))
        return std::string();
    MakePrivate(ParentFolder(locations.stateDirectory));
    MakePrivate(locations.stateDirectory);
    return locations.stateDirectory;
}

} // namespace Vant
