#pragma once

// The token's item in the desktop's secret service through QtKeychain
// (service "com.quorvex.host", account "client-token"). QtKeychain never falls
// back to a plain-text store of its own here; TokenStore decides what happens
// when the keyring fails.

#include <memory>

#include "host/TokenStore.h"

namespace qx::host {

// Each call hands a job to a worker thread with its own event loop and returns
// at once; the answer comes back as a queued call on the thread that created
// the keyring, which must run a Qt event loop. Nothing waits on the service:
// a call it never answers stays pending, and answers arriving after the
// keyring is destroyed are dropped. Every instance shares the one worker of
// the process (QtKeychain serialises its jobs through an object that has to
// stay on a running thread); it stops when the QCoreApplication is destroyed,
// and keyring calls need one to exist.
class QtKeychainKeyring final : public Keyring {
 public:
  QtKeychainKeyring();
  ~QtKeychainKeyring() override;
  QtKeychainKeyring(const QtKeychainKeyring&) = delete;
  QtKeychainKeyring& operator=(const QtKeychainKeyring&) = delete;

  void read(ReadDone done) override;
  void write(const std::string& secret, Done done) override;
  void remove(Done done) override;

 private:
  class Mailbox;
  std::unique_ptr<Mailbox> mailbox_;
};

}  // namespace qx::host
