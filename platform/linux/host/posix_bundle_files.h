#pragma once

// The bundle replacement's file operations on POSIX calls: copies synced with
// fsync, directories synced through a descriptor of their own, the exchange by
// renameat2(RENAME_EXCHANGE).

#include "host/BundleReplacement.h"

namespace qx::host {

class PosixBundleFiles final : public BundleFiles {
 public:
  std::error_code makeDirectory(const std::filesystem::path& path) override;
  std::error_code copyFile(const std::filesystem::path& from, const std::filesystem::path& to) override;
  std::error_code makeLink(const std::filesystem::path& target, const std::filesystem::path& link) override;
  std::error_code syncDirectory(const std::filesystem::path& dir) override;
  std::error_code exchange(const std::filesystem::path& a, const std::filesystem::path& b) override;
  std::error_code rename(const std::filesystem::path& from, const std::filesystem::path& to) override;
  std::error_code removeAll(const std::filesystem::path& path) override;
};

}  // namespace qx::host
