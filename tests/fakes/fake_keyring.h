#pragma once

// A secret service in memory: holds at most one item, can be told to fail,
// and counts the calls.

#include <optional>
#include <string>

#include "host/TokenStore.h"

namespace qx::host::fake {

class FakeKeyring final : public Keyring {
 public:
  ReadResult read() override {
    ++reads;
    if (failing) return {Status::failed, {}};
    if (!item) return {Status::notFound, {}};
    return {Status::ok, *item};
  }
  Status write(const std::string& secret) override {
    ++writes;
    if (failing) return Status::failed;
    item = secret;
    return Status::ok;
  }
  Status remove() override {
    ++removes;
    if (failing) return Status::failed;
    item.reset();
    return Status::ok;
  }

  std::optional<std::string> item;
  bool failing = false;
  int reads = 0;
  int writes = 0;
  int removes = 0;
};

}  // namespace qx::host::fake
