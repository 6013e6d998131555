#pragma once

// The desktop clipboard, behind one call so the menu's copy action is checked
// without a display. Main thread only.

#include <string>

namespace qx::host {

class Clipboard {
 public:
  virtual ~Clipboard() = default;
  // Replaces the clipboard's content with `text` as plain text.
  virtual void copy(const std::string& text) = 0;
};

// QGuiApplication's clipboard (on X11 the CLIPBOARD selection, served while
// this process runs).
class QtClipboard final : public Clipboard {
 public:
  void copy(const std::string& text) override;
};

}  // namespace qx::host
