#pragma once

// The token's item in the desktop's secret service through QtKeychain
// (service "com.quorvex.host", account "client-token"). QtKeychain never falls
// back to a plain-text store of its own here; TokenStore decides what happens
// when the keyring fails.

#include <chrono>

#include "host/TokenStore.h"

namespace qx::host {

// Each call hands a job to a worker thread with its own event loop and blocks
// the caller on its result for at most `timeout`; the calling thread runs no
// event loop meanwhile, so nothing re-enters it. A call that times out reads as
// `failed`; its late result is dropped. Every instance shares the one worker
// of the process (QtKeychain serialises its jobs through an object that has to
// stay on a running thread); it stops when the QCoreApplication is destroyed,
// and keyring calls need one to exist.
class QtKeychainKeyring final : public Keyring {
 public:
  explicit QtKeychainKeyring(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  ReadResult read() override;
  Status write(const std::string& secret) override;
  Status remove() override;

 private:
  std::chrono::milliseconds timeout_;
};

}  // namespace qx::host
