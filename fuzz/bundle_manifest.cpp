// The bundle's signature files: the manifest, the minisign signature and the
// public key. What parses is written back to text that parses to the same.

#include <string>
#include <string_view>

#include "fuzz/check.h"
#include "host/BundleSignature.h"
#include "host/Minisign.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto manifest = qx::host::parseManifest(text)) {
    const std::string written = qx::host::formatManifest(*manifest);
    QX_FUZZ_CHECK(qx::host::parseManifest(written) == manifest);
  }
  if (const auto signature = qx::host::parseSignature(text)) {
    const std::string written = qx::host::signatureFile(*signature);
    const auto again = qx::host::parseSignature(written);
    QX_FUZZ_CHECK(again.has_value());
    QX_FUZZ_CHECK(qx::host::signatureFile(*again) == written);
  }
  if (const auto key = qx::host::parsePublicKey(text))
    QX_FUZZ_CHECK(qx::host::parsePublicKey(qx::host::publicKeyFile(*key)) == key);
  (void)qx::host::infoPlistVersion(text);
  return 0;
}
