#pragma once

// Replaces the running application bundle by a new one so that a crash or a
// power loss at any instant leaves a bundle the desktop entries can start:
//   1. stageBundle: copy the download to `<parent>/.Quorvex Host.app.new`,
//      syncing every file and directory (the download may sit on another file
//      system). The copy, not the download, is then verified, so nothing that
//      changes in the download afterwards is installed.
//   2. installStagedBundle: exchange the copy with the bundle atomically, sync
//      the parent, remove what is now the old bundle.
// Where the file system cannot exchange (EINVAL), two renames through
// `.Quorvex Host.app.old` do it. A crash between them leaves no bundle at its
// path; the desktop entries start the bundle through bundleLaunchScript, which
// puts the moved copy back first. A failure leaves the old bundle in place.
// The copy normalises permission bits (the signature covers only the owner's
// execute bit): directories 0755, files 0755 or 0644 by that bit.
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
  // Creates `path` (its parent exists) with mode 0755, whatever the umask.
  virtual std::error_code makeDirectory(const std::filesystem::path& path) = 0;
  // Copies the regular file `from` to the new file `to` with its contents and
  // mode 0755 when `from`'s owner may execute it, else 0644, whatever the
  // umask; syncs it to disk. Never follows a link nor waits on a FIFO: anything
  // but a regular file fails.
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

// `<bundle's parent>/.Quorvex Host.app.new`.
std::filesystem::path stagedBundlePath(const std::filesystem::path& bundle);

// Copies `newApp` (regular files, directories and links, which are copied as
// links) to stagedBundlePath(bundle), replacing an earlier copy. The empty
// code on success; otherwise the error, with no copy left.
std::error_code stageBundle(BundleFiles& files, const std::filesystem::path& bundle,
                            const std::filesystem::path& newApp);
// Puts the staged copy at `bundle`'s path. The empty code on success;
// otherwise the error of the step that failed, with the old bundle still at
// its path and the staged copy removed.
std::error_code installStagedBundle(BundleFiles& files, const std::filesystem::path& bundle);
// stageBundle, then installStagedBundle.
std::error_code replaceBundle(BundleFiles& files, const std::filesystem::path& bundle,
                              const std::filesystem::path& newApp);

// The /bin/sh script that starts bundle `$0` with the arguments after it,
// first putting `.Quorvex Host.app.old` back when the bundle is missing (a
// crash between the fallback's two renames). The started host's cleanup then
// removes the staged copy: the replacement is rolled back.
inline constexpr const char* bundleLaunchScript =
    "[ -e \"$0\" ] || mv \"${0%/*}/.Quorvex Host.app.old\" \"$0\"; exec \"$0/Contents/MacOS/QuorvexHost\" \"$@\"";

// Removes `.Quorvex Host.app.new` and `.Quorvex Host.app.old` beside
// `bundle`: what an interrupted replacement left. Nothing is removed while
// `bundle` itself is missing, since a moved-aside copy may then be the only
// one. Errors are ignored.
void removeReplacementLeftovers(BundleFiles& files, const std::filesystem::path& bundle);

}  // namespace qx::host
