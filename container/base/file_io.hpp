#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace lumora {

// Writes all size bytes to fd, through short writes and interruptions. Returns 0, or the
// errno of the failure (EIO when the system wrote nothing without saying why).
int writeAll(int fd, const void* data, std::size_t size);

// Reads fd to its end, appending to out. Returns 0, or the errno of the failure; EFBIG
// once out would pass maxBytes (the file may grow while it is read).
int readAll(int fd, std::string& out, std::size_t maxBytes = static_cast<std::size_t>(-1));

// What writeFileAtomically does when path is a symbolic link.
enum class AtLink {
    kWriteTarget,  // the link stays; its final target is written, keeping the target's mode
    kReplace,      // the link itself is replaced by the file (for folders others fill)
};

// Writes the whole file through a temporary file, fsync, then rename, so a crash
// leaves the old content or the new one. Returns the errno of a failure, or 0.
// The temporary, ".<name>.tmp-XXXXXX" beside the file written, is locked (flock) until
// it has been renamed, so removeStaleTemporaries can tell a live write from a dead one.
// The file gets mode, except a link's existing target, which keeps its own.
int writeFileAtomically(const std::string& path, const std::string& contents, int mode = 0600,
                        AtLink atLink = AtLink::kWriteTarget);

struct TemporarySweep {
    int found = 0;    // temporaries of ours in the directory
    int removed = 0;  // of those, the ones no writer held
};
// Removes the temporaries that writeFileAtomically leaves behind when its process dies
// mid-write. Only names of its pattern (for the file called name, or for any name when
// name is empty), only regular files of this user, only when no writer holds them and
// they are at least minimumAgeSeconds old.
TemporarySweep removeStaleTemporaries(const std::string& directory, const std::string& name,
                                      double minimumAgeSeconds = 0);
// Whether a file name is one of writeFileAtomically's temporaries (for name, or any).
bool isAtomicTemporaryName(std::string_view fileName, std::string_view name = {});

}  // namespace lumora
