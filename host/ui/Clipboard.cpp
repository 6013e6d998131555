#include "host/ui/Clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QString>

namespace qx::host {

void QtClipboard::copy(const std::string& text) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  // Cleared first, so no other format of an earlier owner survives beside the text.
  clipboard->clear();
  clipboard->setText(QString::fromStdString(text));
}

}  // namespace qx::host
