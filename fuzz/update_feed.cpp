// The update feed as the stand-in updater reads it: the manifest, the offered
// bundle's Info.plist, feed URLs, relative paths and install request bodies.

#include <string>
#include <string_view>

#include "fuzz/check.h"
#include "server/updates.h"
#include "signature/bundle_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto manifest = qx::server::parseManifest(text)) {
    // What a manifest names is later joined to the feed's folder.
    (void)qx::server::isSafeRelativePath(manifest->bundle);
  }
  (void)qx::signature::infoPlistVersion(text);
  (void)qx::server::feedPath(text);
  if (qx::server::isSafeRelativePath(text)) {
    QX_FUZZ_CHECK(!text.empty() && text.front() != '/');
    for (std::size_t start = 0; start <= text.size();) {
      const std::size_t end = std::min(text.find('/', start), text.size());
      QX_FUZZ_CHECK(text.substr(start, end - start) != "..");
      start = end + 1;
    }
  }
  (void)qx::server::installRequestVersion(text);
  return 0;
}
