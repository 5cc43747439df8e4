#pragma once
// File operations that never lose the only copy of something: a rename
// that refuses to replace, a copy that appears under its final name only
// once it is whole, and deletion that can overwrite first.
#include <cstddef>
#include <functional>
#include <string>

namespace yux::platform {

// The last part of a "/" path, and the folder before it ("." when there is
// none, "/" for a name in the root).
std::string PathNameOf(const std::string& path);
std::string PathFolderOf(const std::string& path);

// Renames `from` to `to` on the same file system.  Without `replace` an
// existing `to` is never touched (the rename fails with "the target
// exists"); with it the old file is replaced in one step.  False with a
// reason.  `crossDevice`, when given, says whether the rename failed
// because the two names lie on different mounts, which only the rename
// itself can tell: a bind mount of the same file system shows the same
// device number and still refuses.
bool RenameFile(const std::string& from, const std::string& to, bool replace,
                std::string* error = nullptr, bool* crossDevice = nullptr);

// The rename call RenameFile makes (renameat2's two paths and its flags),
// answering as the system call does: 0, or -1 with errno set.  Tests put in
// one that fails as they need; an empty one puts the system's back.
using RenameCall = std::function<int(const char* from, const char* to, unsigned flags)>;
void SetRenameCall(RenameCall call);

// Copies `from` to `to` through a temporary name in the target's folder:
// the data is written and flushed to the disk first, then the temporary
// file takes the final name (replacing only with `replace`).  A failure at
// any point removes the temporary file and leaves `to` as it was.  The
// data goes in chunks; `keepGoing`, when given, is called between them (it
// may handle messages) and cuts the copy off by returning false.
bool CopyFileSafely(const std::string& from, const std::string& to, bool replace,
                    std::string* error = nullptr, const std::function<bool()>& keepGoing = {});

// The size of the chunks CopyFileSafely copies between two calls of its
// `keepGoing`.
inline constexpr std::size_t kCopyChunkBytes = std::size_t(1) << 20;

// Whether `name` is one of the temporary names CopyFileSafely uses, or one
// the stand-in archiver writes before it renames its output.
bool IsUnfinishedFileName(const std::string& name);
// Whether `name` is the temporary name CopyFileSafely gives a copy to
// `target` (a name in the same folder) while the copy is not whole.
bool IsCopyTempNameOf(const std::string& name, const std::string& target);

// Overwrites a regular file with zeros, then deletes it.  A symbolic link
// is deleted as a link, never written through, and a file with other
// names (hard links) only loses this name: its data is left to them.
// `overwritten` says whether the data was overwritten.  Only the extents
// that hold data are written, so a sparse file costs what it holds, not its
// apparent size.  `between`, when given, is called after each chunk
// (kCopyChunkBytes) written: it may handle messages.
bool WipeAndDelete(const std::string& path, bool* overwritten = nullptr,
                   const std::function<void()>& between = {});

// The mode a new file gets from this process: 0666 less the umask.
unsigned DefaultFileMode();

// Sets the permission bits; false when it cannot.
bool SetFileMode(const std::string& path, unsigned mode);

}  // namespace yux::platform
