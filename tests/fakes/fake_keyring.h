#pragma once

// A secret service in memory: holds at most one item, can be told to fail or
// to refuse, and counts the calls. It answers inside each call, unless
// `holding`: then the answers wait, in call order, until answerAll(), as a
// service that is paused or waiting on its unlock prompt. An answer reflects
// the state when it is given.

#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "host/TokenStore.h"

namespace qx::host::fake {

class FakeKeyring final : public Keyring {
 public:
  void read(ReadDone done) override {
    ++reads;
    answer([this, done = std::move(done)] {
      if (failing) return done({failure, {}});
      if (!item) return done({Status::notFound, {}});
      done({Status::ok, *item});
    });
  }
  void write(const std::string& secret, Done done) override {
    ++writes;
    answer([this, secret, done = std::move(done)] {
      if (failing) return done(failure);
      item = secret;
      done(Status::ok);
    });
  }
  void remove(Done done) override {
    ++removes;
    answer([this, done = std::move(done)] {
      if (failing) return done(failure);
      item.reset();
      done(Status::ok);
    });
  }

  // Gives the held answers, and those of calls they make in turn.
  void answerAll() {
    while (!held_.empty()) {
      auto next = std::move(held_.front());
      held_.pop_front();
      next();
    }
  }
  std::size_t pending() const { return held_.size(); }

  std::optional<std::string> item;
  bool failing = false;
  Status failure = Status::failed;  // what a failing keyring answers: failed or refused
  bool holding = false;
  int reads = 0;
  int writes = 0;
  int removes = 0;

 private:
  void answer(std::function<void()> give) {
    if (holding) {
      held_.push_back(std::move(give));
      return;
    }
    give();
  }
  std::deque<std::function<void()>> held_;
};

}  // namespace qx::host::fake
