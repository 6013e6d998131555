// The bundle's signature files: the manifest, the minisign signature and the
// public key. What parses is written back to text that parses to the same.

#include <string>
#include <string_view>

#include "fuzz/check.h"
#include "signature/bundle_signature.h"
#include "signature/minisign.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto manifest = qx::signature::parseManifest(text)) {
    const std::string written = qx::signature::formatManifest(*manifest);
    QX_FUZZ_CHECK(qx::signature::parseManifest(written) == manifest);
  }
  if (const auto signature = qx::signature::parseSignature(text)) {
    const std::string written = qx::signature::signatureFile(*signature);
    const auto again = qx::signature::parseSignature(written);
    QX_FUZZ_CHECK(again.has_value());
    QX_FUZZ_CHECK(qx::signature::signatureFile(*again) == written);
  }
  if (const auto key = qx::signature::parsePublicKey(text))
    QX_FUZZ_CHECK(qx::signature::parsePublicKey(qx::signature::publicKeyFile(*key)) == key);
  (void)qx::signature::infoPlistVersion(text);
  return 0;
}
