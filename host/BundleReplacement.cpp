#include "host/BundleReplacement.h"

#include <cerrno>
#include <vector>

namespace qx::host {
namespace {

namespace fs = std::filesystem;

// Copies the tree below `from` into the existing directory `to`; each
// directory is synced once its entries are all made.
std::error_code copyContents(BundleFiles& files, const fs::path& from, const fs::path& to) {
  std::error_code ec;
  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator it(from, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
    entries.push_back(*it);
  if (ec) return ec;
  for (const fs::directory_entry& entry : entries) {
    const fs::path target = to / entry.path().filename();
    const fs::file_status status = entry.symlink_status(ec);
    if (ec) return ec;
    switch (status.type()) {
      case fs::file_type::directory:
        if ((ec = files.makeDirectory(target))) return ec;
        if ((ec = copyContents(files, entry.path(), target))) return ec;
        break;
      case fs::file_type::regular:
        if ((ec = files.copyFile(entry.path(), target))) return ec;
        break;
      case fs::file_type::symlink: {
        const fs::path link = fs::read_symlink(entry.path(), ec);
        if (ec) return ec;
        if ((ec = files.makeLink(link, target))) return ec;
        break;
      }
      default:
        // The verifier refuses such entries; never open one.
        return std::make_error_code(std::errc::not_supported);
    }
  }
  return files.syncDirectory(to);
}

bool exchangeUnsupported(const std::error_code& ec) {
  return ec == std::errc::invalid_argument || ec == std::errc::function_not_supported;
}

// The fallback: the bundle moves aside, the staged copy takes its place.
// Every failure puts the old bundle back where it was.
std::error_code replaceByRenames(BundleFiles& files, const fs::path& bundle, const fs::path& staged,
                                 const fs::path& moved) {
  const fs::path parent = bundle.parent_path();
  files.removeAll(moved);
  std::error_code ec = files.rename(bundle, moved);
  if (ec) {
    files.removeAll(staged);
    return ec;
  }
  ec = files.rename(staged, bundle);
  if (!ec) ec = files.syncDirectory(parent);
  if (ec) {
    files.rename(bundle, staged);  // fails harmlessly when the new one never got there
    files.rename(moved, bundle);
    files.syncDirectory(parent);
    files.removeAll(staged);
    return ec;
  }
  files.removeAll(moved);
  return {};
}

}  // namespace

fs::path stagedBundlePath(const fs::path& bundle) { return bundle.parent_path() / stagedBundleName; }

std::error_code stageBundle(BundleFiles& files, const fs::path& bundle, const fs::path& newApp) {
  const fs::path staged = stagedBundlePath(bundle);
  files.removeAll(staged);

  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(newApp, ec))) return std::make_error_code(std::errc::not_a_directory);
  ec = files.makeDirectory(staged);
  if (!ec) ec = copyContents(files, newApp, staged);
  // The staged copy's own entry must be on disk before it is swapped in.
  if (!ec) ec = files.syncDirectory(bundle.parent_path());
  if (ec) files.removeAll(staged);
  return ec;
}

std::error_code installStagedBundle(BundleFiles& files, const fs::path& bundle) {
  const fs::path parent = bundle.parent_path();
  const fs::path staged = stagedBundlePath(bundle);
  std::error_code ec = files.exchange(staged, bundle);
  if (exchangeUnsupported(ec)) return replaceByRenames(files, bundle, staged, parent / movedBundleName);
  if (ec) {
    files.removeAll(staged);
    return ec;
  }
  if ((ec = files.syncDirectory(parent))) {
    // Not known to be on disk: swap back, so the failure means "old bundle".
    files.exchange(staged, bundle);
    files.syncDirectory(parent);
    files.removeAll(staged);
    return ec;
  }
  // `staged` now holds the old bundle; the running process keeps its files
  // open, so removing them is safe.
  files.removeAll(staged);
  return {};
}

std::error_code replaceBundle(BundleFiles& files, const fs::path& bundle, const fs::path& newApp) {
  if (std::error_code ec = stageBundle(files, bundle, newApp)) return ec;
  return installStagedBundle(files, bundle);
}

void removeReplacementLeftovers(BundleFiles& files, const fs::path& bundle) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(bundle, ec))) return;
  files.removeAll(bundle.parent_path() / stagedBundleName);
  files.removeAll(bundle.parent_path() / movedBundleName);
}

}  // namespace qx::host
