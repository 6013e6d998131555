#pragma once

// Replaces the running application bundle by a verified new one so that a
// crash or a power loss at any instant leaves either the complete old bundle
// or the complete new one at the bundle's path:
//   1. copy the new bundle to `<parent>/.Quorvex Host.app.new`, syncing every
//      file and directory (the source may sit on another file system);
//   2. exchange it with the bundle atomically, then sync the parent;
//   3. remove what is now the old copy.
// Where the file system cannot exchange (EINVAL), two renames through
// `.Quorvex Host.app.old` do it; the relaunch puts that copy back should the
// bundle be missing. A failure leaves the old bundle in place.
// The changing steps go through `BundleFiles`, so tests can fail any of them.

#include <filesystem>
#include <system_error>

namespace qx::host {

inline constexpr const char* stagedBundleName = ".Quorvex Host.app.new";
inline constexpr const char* movedBundleName = ".Quorvex Host.app.old";

// The file-system operations the replacement changes anything with. Every
// operation returns the system's error, or an empty code.
class BundleFiles {
 public:
  virtual ~BundleFiles() = default;
  // Creates `path` (its parent exists) with the permission bits `perms`.
  virtual std::error_code makeDirectory(const std::filesystem::path& path, std::filesystem::perms perms) = 0;
  // Copies the regular file `from` to the new file `to` with its contents and
  // permission bits, and syncs it to disk.
  virtual std::error_code copyFile(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // Creates the symbolic link `link` holding `target`.
  virtual std::error_code makeLink(const std::filesystem::path& target, const std::filesystem::path& link) = 0;
  // Syncs the directory's entries to disk.
  virtual std::error_code syncDirectory(const std::filesystem::path& dir) = 0;
  // Swaps two existing paths in one step; EINVAL where the file system
  // cannot.
  virtual std::error_code exchange(const std::filesystem::path& a, const std::filesystem::path& b) = 0;
  virtual std::error_code rename(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // Removes `path` with everything below it; a missing path is no error.
  virtual std::error_code removeAll(const std::filesystem::path& path) = 0;
};

// Puts the bundle `newApp` at `bundle`'s path as described above. The empty
// code on success; otherwise the error of the step that failed, with the old
// bundle still at its path and the staged copy removed.
std::error_code replaceBundle(BundleFiles& files, const std::filesystem::path& bundle,
                              const std::filesystem::path& newApp);

// Removes `.Quorvex Host.app.*` beside `bundle`: what an interrupted
// replacement left. Nothing is removed while `bundle` itself is missing,
// since a moved-aside copy may then be the only one. Errors are ignored.
void removeReplacementLeftovers(BundleFiles& files, const std::filesystem::path& bundle);

}  // namespace qx::host
