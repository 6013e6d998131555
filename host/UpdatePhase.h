#pragma once

// What the update flow is doing, as the menu and the settings window show it.
// Two phases are equal when they are the same case with equal text.

#include <string>

namespace qx::host {

struct UpdatePhase {
  enum class Case { idle, checking, downloading, installing, failed };
  Case state = Case::idle;
  // downloading/installing: the version (may be empty); failed: the message.
  std::string text;

  static UpdatePhase idle() { return {Case::idle, {}}; }
  static UpdatePhase checking() { return {Case::checking, {}}; }
  static UpdatePhase downloading(std::string version) { return {Case::downloading, std::move(version)}; }
  static UpdatePhase installing(std::string version) { return {Case::installing, std::move(version)}; }
  static UpdatePhase failed(std::string message) { return {Case::failed, std::move(message)}; }

  bool busy() const { return state == Case::downloading || state == Case::installing; }

  friend bool operator==(const UpdatePhase&, const UpdatePhase&) = default;
};

}  // namespace qx::host
