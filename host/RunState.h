#pragma once

// Supervision state of the media server, as the views show it. A plain value:
// two states are equal when they have the same case and equal payloads.

#include <string>
#include <variant>

#include "host/HostServices.h"

namespace qx::host {

struct RunState {
  // The server ended without a stop request; a restart is due at `until`.
  struct Waiting {
    TimePoint until;
    std::string lastExit;
    friend bool operator==(const Waiting&, const Waiting&) = default;
  };
  // The server could not be launched.
  struct Failed {
    std::string message;
    friend bool operator==(const Failed&, const Failed&) = default;
  };
  // A start was attempted before the first setup was saved.
  struct NotConfigured {
    friend bool operator==(const NotConfigured&, const NotConfigured&) = default;
  };
  // Nothing runs by request; also the initial state.
  struct Stopped {
    friend bool operator==(const Stopped&, const Stopped&) = default;
  };
  struct Running {
    friend bool operator==(const Running&, const Running&) = default;
  };

  std::variant<Waiting, Failed, NotConfigured, Stopped, Running> value = Stopped{};

  static RunState waiting(TimePoint until, std::string lastExit) { return {Waiting{until, std::move(lastExit)}}; }
  static RunState failed(std::string message) { return {Failed{std::move(message)}}; }
  static RunState notConfigured() { return {NotConfigured{}}; }
  static RunState stopped() { return {Stopped{}}; }
  static RunState running() { return {Running{}}; }

  template <class Case>
  bool is() const {
    return std::holds_alternative<Case>(value);
  }
  template <class Case>
  const Case* get() const {
    return std::get_if<Case>(&value);
  }

  friend bool operator==(const RunState&, const RunState&) = default;
};

}  // namespace qx::host
