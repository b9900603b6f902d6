#pragma once
// Path and file helpers of the kit. Paths are UTF-8 byte strings with "/" as the
// separator; every function reports failure by its result and never throws on its
// own. The kit's path limit is kMaxPath characters.
#include <cstdint>
#include <string>

#include <sys/types.h>

namespace Vant {

constexpr std::size_t kMaxPath = 259;

// The directory of the running executable, ending with "/" (empty if unknown).
std::string GetModuleDirectory();
// The path itself when it is longer than one character and ends with "/";
// otherwise the path followed by "/".
std::string AddBackslash(const std::string &path);
// Creates every missing directory on the path, as "mkdir -p" does: a level that
// exists as a directory (or a link to one) is passed whether or not it can be read,
// so a home folder under a parent of mode 0711 is reached. The empty first part of
// an absolute path is the root, which exists. Directories made before a failure stay.
// New directories get NewDirectoryMode().
bool CreateDirectoryPath(const std::string &path);

// Permission bits the kit asks for when it creates a directory or a file; the
// process's umask removes bits from them as always. Shared: ask for 0777 and 0666,
// so the umask alone decides, as with mkdir(1) and touch(1): a portable folder of
// the tool keeps the permissions its owner gave it. Private: 0700 and 0600, for a
// folder in the user's state directory that holds every device message
// (the base-directory convention asks 0700 of the folders it makes there).
// Process-wide; the logger's set-up chooses it with the log folder.
void SetPrivateCreation(bool privateModes);
bool PrivateCreation();
mode_t NewDirectoryMode();
mode_t NewFileMode();
// True when the path has 2 to kMaxPath characters and names an existing directory.
bool IsPathOnVolume(const std::string &path);
// Deletes the regular files directly inside the directory, then the directory
// itself. Subdirectories and symbolic links are neither entered nor deleted (so
// their parent stays). A path whose last part is a symbolic link is refused,
// whatever it points to. Stops at the first file that cannot be deleted.
bool RemoveDirectoryFiles(const std::string &path);
// Opens the path read-only without waiting for a peer (a FIFO answers at once
// instead of blocking until a writer appears); closed on exec. -1 on failure.
int OpenForReading(const std::string &path);
// True when the path names a regular file that can be opened for reading.
bool FileExists(const std::string &path);
// Creates the file, or cuts an existing one to zero length. A symbolic link as the
// last part of the path is refused; the descriptor is never inherited.
bool CreateEmptyFile(const std::string &path);
bool DeleteFilePath(const std::string &path);
// Length of a regular file that can be opened for reading; 0 otherwise. Files of
// 2 GiB or more answer INT32_MAX.
int32_t GetFileLength(const std::string &path);
// True when the path has 2 to kMaxPath characters and is a directory (not following
// a final symbolic link).
bool IsDirectoryPath(const std::string &path);

} // namespace Vant
