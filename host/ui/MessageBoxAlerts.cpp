#include "host/ui/MessageBoxAlerts.h"

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <vector>

namespace qx::host {
namespace {

// The window an alert belongs to: the one in front, else any the host shows.
// None when only the tray is there.
QWidget* shownWindow() {
  if (QWidget* active = QApplication::activeWindow()) return active;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    const Qt::WindowType type = window->windowType();
    if (window->isVisible() && !window->isMinimized() && (type == Qt::Window || type == Qt::Dialog)) return window;
  }
  return nullptr;
}

}  // namespace

Alerts::Answer MessageBoxAlerts::show(const Alert& alert) {
  // With a parent the desktop keeps the alert over that window and centres it there.
  QMessageBox box(shownWindow());
  box.setWindowTitle(QStringLiteral("Quorvex Host"));
  box.setWindowIcon(QApplication::windowIcon());
  box.setIcon(alert.warning ? QMessageBox::Warning : QMessageBox::Information);
  box.setText(QString::fromStdString(alert.title));
  box.setInformativeText(QString::fromStdString(alert.text));
  box.setWindowFlag(Qt::WindowStaysOnTopHint);

  std::vector<QPushButton*> buttons;
  for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
    // The first answers the alert; the others turn it down.
    // Roles, so the desktop's button order applies.
    const QMessageBox::ButtonRole role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
    buttons.push_back(box.addButton(QString::fromStdString(alert.buttons[i]), role));
  }
  if (buttons.empty()) buttons.push_back(box.addButton(QMessageBox::Ok));
  box.setDefaultButton(buttons.front());
  box.setEscapeButton(buttons.back());

  QCheckBox* checkbox = nullptr;
  if (!alert.checkbox.empty()) {
    checkbox = new QCheckBox(QString::fromStdString(alert.checkbox));
    box.setCheckBox(checkbox);  // the box owns it
  }

  // Wide enough for the whole title: a short text would cut it.
  // A spacer across the box's grid, not a minimum on its label: the box sizes
  // itself from the layout, and a label held narrower than its text cuts it.
  const int titleWidth = box.fontMetrics().horizontalAdvance(box.windowTitle()) * 2 + 200;
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    grid->addItem(new QSpacerItem(std::max(titleWidth, 360), 0, QSizePolicy::Minimum, QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }

  // A tray application has no window of its own in front: raise the box and
  // take the focus once it is shown.
  QTimer::singleShot(0, &box, [&box] {
    box.raise();
    box.activateWindow();
  });
  box.exec();

  Answer answer;
  const auto clicked = std::find(buttons.begin(), buttons.end(), box.clickedButton());
  // Closed without a button: the escape button's answer.
  answer.button = static_cast<int>(clicked != buttons.end() ? clicked - buttons.begin() : buttons.size() - 1);
  answer.checked = checkbox != nullptr && checkbox->isChecked();
  return answer;
}

}  // namespace qx::host
