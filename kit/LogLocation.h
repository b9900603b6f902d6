#pragma once
// Where a program of the tool writes its log when LogInit() chooses the folder.
//
// Every program that uses the logger (the window and its command-line companion)
// shares the one rule, so an operator finds all logs in one place:
//   1. "log/" beside the executable, when the executable lies in a folder owned by
//      the user running it, outside the system's program hierarchies (/usr, /opt,
//      /bin, /sbin), and that "log/" is or can be made writable: an unpacked copy
//      logs beside itself as it always did. An installed one (a package under /usr,
//      an administrator's copy under /opt, a folder someone else owns) never writes
//      beside itself, not even when root runs it;
//   2. otherwise "$XDG_STATE_HOME/BrenuSearchTools/log/", where XDG_STATE_HOME
//      counts only as an absolute path and defaults to "$HOME/.local/state"
//      (the base-directory convention for state that outlives a run, such as logs).
//      The log holds every device message, so there the folders are 0700 and the
//      files 0600 (FileUtil's private creation); beside a portable executable the
//      umask decides, as for any file its owner makes.
// The layout below the chosen folder (day directories, roll-over, deletion) is the
// logger's and the same in both places.
#include <string>

#include <sys/types.h>

namespace Vant {

// The folder name under the state directory, shared by every program of the tool.
constexpr const char *kLogStateFolder = "BrenuSearchTools";

struct LogLocations {
    // "<executable's directory>log/"; empty when that directory is unknown or lies in
    // the system's program hierarchy.
    std::string besideExecutable;
    // "<state home>/BrenuSearchTools/log/"; empty when neither XDG_STATE_HOME (absolute)
    // nor a home directory is known.
    std::string stateDirectory;
};

// The two candidates for an executable in exeDirectory (ending with "/") and the
// given environment values (null when unset). Only the names count here: the
// system hierarchy is left out, ownership is IsOwnProgramFolder's question.
LogLocations LogLocationsFor(const std::string &exeDirectory, const char *xdgStateHome, const char *home);
// True for a path in the system's program hierarchies (/usr, /opt, /bin, /sbin):
// installed software, static and shareable by convention (its variable data belongs
// elsewhere), even where root could write.
bool InSystemProgramHierarchy(const std::string &directory);
// Whether a program in this existing directory is a copy of the user's own: the
// directory is owned by the user. Links are followed, as they are to start the program.
bool IsOwnProgramFolder(const std::string &directory, uid_t user);
// The candidates of this process: its executable (only from a folder of its own),
// XDG_STATE_HOME and HOME (or the password database's home directory when HOME is
// unset).
LogLocations DefaultLogLocations();
// The first candidate that is, or can be made, a directory this process may write
// into (missing parent folders are created). Empty when neither works. Choosing the
// state directory turns on the kit's private creation (0700 folders, 0600 files)
// before any folder is made, and tightens the tool's own folder there
// ("<state>/BrenuSearchTools/" and its "log/") to 0700 when an older version left
// it open; choosing the folder beside the executable turns it off.
std::string ChooseLogDirectory(const LogLocations &locations);

} // namespace Vant
