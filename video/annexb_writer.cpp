#include "video/annexb_writer.h"

#include <unistd.h>

#include "common/fd.h"

namespace qx {

AnnexBWriter::AnnexBWriter(int fd) : out_(fd) {}

void AnnexBWriter::write(std::span<const std::uint8_t> accessUnit) {
  std::lock_guard guard(lock_);
  if (!writeFully(out_, accessUnit.data(), accessUnit.size())) {
    // The stream's reader is gone or the descriptor is unusable: a partial
    // stream is worthless, so end now and let the parent see the exit.
    ::_exit(1);
  }
}

}  // namespace qx
