#pragma once

// Files of the app's folders opened strictly beneath them: a name never reaches a path outside its folder,
// not through "..", not through a symbolic link at any component (the folder itself included). The service
// runs as root, and the names come from the network.
//
// The kernel does the walk where it can (openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS, Linux 5.6);
// where it cannot (an older kernel, or an emulator that does not know the call), each component is opened in
// turn with O_NOFOLLOW.

#include <string>
#include <string_view>
#include <sys/types.h>

namespace Beneath {

// The folder itself, as a directory descriptor; -1 with errno when it is missing or a symbolic link (ELOOP).
int openFolder(char const* folder);

// name (leading "/" allowed, as it comes from the path) opened beneath the folder's descriptor with flags
// (O_CLOEXEC is added; O_CREAT takes mode). -1 with errno: ENOENT or another error of the final open when the
// name stays inside, ELOOP or EXDEV when it would leave the folder (a link, or "..").
int open(int folder, std::string const& name, int flags, mode_t mode = 0);

// Removes the file name names beneath the folder; a symbolic link is not removed (ELOOP), nor a directory.
int unlink(int folder, std::string const& name);

// Writes bytes as the file name names beneath the folder, whole or not at all: into a temporary file beside
// it (TEMPORARY_PREFIX and the name), synced, then renamed over it, so that a power cut at any moment leaves
// the old file or the new one, never one cut short. A link in the name's place is refused (ELOOP). 0, or -1
// with errno; opened tells whether the failure came after the temporary file was open (a write, not an open,
// failed).
int replace(int folder, std::string const& name, std::string_view bytes, bool& opened);
// What a replace cut off by a power cut left in the folder itself (not in its subfolders); for start-up.
void removeTemporaries(char const* folder);
constexpr char const* TEMPORARY_PREFIX = ".~put.";

// Makes a rename or a new name in the folder survive a power cut.
void syncFolder(char const* path);

// Whether a failure of open or unlink says the name would leave the folder.
bool leaves(int error);

} // namespace Beneath
