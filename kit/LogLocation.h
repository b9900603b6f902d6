#pragma once
// Where a program of the tool writes its log when LogInit() chooses the folder.
//
// Every program that uses the logger (the window and its command-line companion)
// shares the one rule, so an operator finds all logs in one place:
//   1. "log/" beside the executable, when that folder is or can be made writable
//      and the executable does not live in the system's read-only program
//      hierarchy (/usr, /bin, /sbin): an unpacked copy logs beside itself as it
//      always did, an installed one never writes into /usr/bin, not even as root;
//   2. otherwise "$XDG_STATE_HOME/BrenuSearchTools/log/", where XDG_STATE_HOME
//      counts only as an absolute path and defaults to "$HOME/.local/state"
//      (the base-directory convention for state that outlives a run, such as logs).
// The layout below the chosen folder (day directories, roll-over, deletion) is the
// logger's and the same in both places.
#include <string>

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
// given environment values (null when unset).
LogLocations LogLocationsFor(const std::string &exeDirectory, const char *xdgStateHome, const char *home);
// The candidates of this process: its executable, XDG_STATE_HOME and HOME (or the
// password database's home directory when HOME is unset).
LogLocations DefaultLogLocations();
// The first candidate that is, or can be made, a directory this process may write
// into (missing parent folders are created). Empty when neither works.
std::string ChooseLogDirectory(const LogLocations &locations);

} // namespace Vant
