#include "host/ui/SettingsWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QSystemTrayIcon>
#include <QVBoxLayout>
#include <algorithm>

#include "host/Contrast.h"
#include "host/HostController.h"
#include "host/HostTexts.h"
#include "host/MenuTexts.h"
#include "host/Permissions.h"
#include "host/TokenStore.h"
#include "host/UpdateFlow.h"

namespace qx::host {
namespace {

constexpr int contentWidth = 480;
constexpr int contentHeight = 760;
// Room for the window manager's title bar when the screen is shorter.
constexpr int titleBarAllowance = 40;
// The wanted hues; what is drawn is moved to 4.5:1 on the palette's window colour.
const Rgb allowedGreen{0x1e, 0x8e, 0x3e};
const Rgb invalidRed{0xd0, 0x00, 0x00};
constexpr int tokenLimit = 32767;

QString q(const std::string& text) { return QString::fromStdString(text); }

QLabel* caption(const std::string& text, QWidget* parent) {
  auto* label = new QLabel(q(text), parent);
  label->setWordWrap(true);
  QFont font = label->font();
  font.setPointSizeF(font.pointSizeF() * 0.85);
  label->setFont(font);
  // Secondary: between the text and the background, still easy to read.
  QPalette palette = label->palette();
  const QColor fore = palette.color(QPalette::WindowText);
  const QColor back = palette.color(QPalette::Window);
  const auto mix = [](int a, int b) { return (a * 60 + b * 40) / 100; };
  palette.setColor(QPalette::WindowText,
                   QColor(mix(fore.red(), back.red()), mix(fore.green(), back.green()), mix(fore.blue(), back.blue())));
  label->setPalette(palette);
  return label;
}

QLabel* sectionHeader(const std::string& text, QWidget* parent) {
  auto* label = new QLabel(q(text), parent);
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  return label;
}

// A framed group of rows, as the form's sections are drawn.
QFrame* group(QWidget* parent) {
  auto* frame = new QFrame(parent);
  frame->setFrameShape(QFrame::StyledPanel);
  return frame;
}

QFormLayout* formLayout(QWidget* parent) {
  auto* layout = new QFormLayout(parent);
  layout->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  layout->setLabelAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  return layout;
}

QPushButton* button(const std::string& text, QWidget* parent) {
  auto* b = new QPushButton(q(text), parent);
  // Return and Space press the focused button; in a text field Return still
  // goes to "Save and Start", the default.
  b->setAutoDefault(true);
  return b;
}

QColor readable(Rgb wanted, const QWidget* on) {
  const QColor back = on->palette().color(QPalette::Window);
  const Rgb c = readableOn(wanted, {static_cast<std::uint8_t>(back.red()), static_cast<std::uint8_t>(back.green()),
                                    static_cast<std::uint8_t>(back.blue())});
  return {c.r, c.g, c.b};
}

void setTextColour(QWidget* widget, Rgb wanted) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, readable(wanted, widget));
  widget->setPalette(palette);
}

// A filled circle in `fill` with a white check mark.
QPixmap checkmark(int size, qreal ratio, const QColor& fill) {
  QPixmap pixmap(QSize(size, size) * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(fill);
  painter.drawEllipse(QRectF(0.5, 0.5, size - 1.0, size - 1.0));
  QPainterPath tick;
  tick.moveTo(size * 0.27, size * 0.52);
  tick.lineTo(size * 0.44, size * 0.68);
  tick.lineTo(size * 0.74, size * 0.34);
  painter.setPen(QPen(Qt::white, size * 0.12, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(Qt::NoBrush);
  painter.drawPath(tick);
  return pixmap;
}

}  // namespace

// One permission: the label, then either "Allowed" in green or, when not
// allowed, an "Allow…" button that runs the request (Wayland) or the reason
// (X11, where nothing can be requested).
class PermissionRow : public QWidget {
 public:
  PermissionRow(const std::string& label, bool zh, std::function<void()> request, QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new QLabel(q(label), this));
    layout->addStretch(1);
    icon_ = new QLabel(this);
    const int size = fontMetrics().height();
    allowed_ = new QLabel(q(form::allowed(zh)), this);
    allowed_->setObjectName("allowed");
    setTextColour(allowed_, allowedGreen);
    icon_->setPixmap(checkmark(size, devicePixelRatioF(), allowed_->palette().color(QPalette::WindowText)));
    reason_ = new QLabel(this);
    reason_->setObjectName("reason");
    allow_ = button(form::allow(zh), this);
    allow_->setObjectName("allow");
    connect(allow_, &QPushButton::clicked, this, [request = std::move(request)] { request(); });
    layout->addWidget(icon_);
    layout->addWidget(allowed_);
    layout->addWidget(reason_);
    layout->addWidget(allow_);
  }

  // `reason` empty: the request button.
  void setGranted(bool granted, const std::string& reason) {
    icon_->setVisible(granted);
    allowed_->setVisible(granted);
    reason_->setText(q(reason));
    reason_->setVisible(!granted && !reason.empty());
    allow_->setVisible(!granted && reason.empty());
  }

 private:
  QLabel* icon_ = nullptr;
  QLabel* allowed_ = nullptr;
  QLabel* reason_ = nullptr;
  QPushButton* allow_ = nullptr;
};

SettingsView::SettingsView(Services services, std::function<void()> onDone, QWidget* parent)
    : QDialog(parent),
      services_(services),
      onDone_(std::move(onDone)),
      zh_(services_.host.chinese()),
      wayland_(waylandSession()),
      edit_(services_.host.settingsEdit()) {
  setWindowTitle(q(form::windowTitle(zh_)));
  // Titled and closable; neither resizable nor minimisable.
  // Window managers may still minimise it: SettingsWindow::show() restores it.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  // Closing this window never ends the host, whatever the application's policy.
  setAttribute(Qt::WA_QuitOnClose, false);

  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(0);
  auto* scroll = new QScrollArea(this);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // Not a tab stop of its own: the fields inside are.
  scroll->setFocusPolicy(Qt::NoFocus);
  scroll->setWidget(buildForm());
  root->addWidget(scroll, 1);
  root->addWidget(buildBottomBar());

  const QRect available = screen()->availableGeometry();
  setFixedSize(contentWidth, std::min(contentHeight, available.height() - titleBarAllowance));
  move(available.center() - rect().center());

  HostController& host = services_.host;
  connect(&host, &HostController::screenRecordingChanged, this, &SettingsView::renderPermissions);
  connect(&host, &HostController::accessibilityChanged, this, &SettingsView::renderPermissions);
  for (auto changed :
       {&UpdateFlow::updateChanged, &UpdateFlow::updatePhaseChanged, &UpdateFlow::lastUpdateCheckChanged}) {
    connect(&services_.updates, changed, this, &SettingsView::renderUpdates);
  }
  // Ctrl+W does what the title bar's close button does; Ctrl+Q quits.
  connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), this), &QShortcut::activated, this, &QWidget::close);
  connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this), &QShortcut::activated, this,
          [] { QCoreApplication::quit(); });

  renderValidity();
  renderPermissions();
  renderUpdates();
  host.readToken([view = QPointer<SettingsView>(this)](const TokenRead& read) {
    if (view) view->tokenArrived(read);
  });
  // The window opens at the top, on the first field a new user fills in.
  listen_->setFocus();
}

SettingsView::~SettingsView() = default;

QWidget* SettingsView::buildForm() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(16, 14, 16, 14);
  layout->setSpacing(6);
  const auto section = [&](const std::string& title, QFrame* body, const std::string& footer) {
    if (!title.empty()) layout->addWidget(sectionHeader(title, page));
    layout->addWidget(body);
    if (!footer.empty()) layout->addWidget(caption(footer, page));
    layout->addSpacing(10);
  };

  // The controls carry object names, so accessibility and automation tools
  // can find them.

  // Connection
  QFrame* connection = group(page);
  QFormLayout* rows = formLayout(connection);
  listen_ = new QLineEdit(q(edit_.settings.listen), connection);
  listen_->setObjectName("listen");
  connect(listen_, &QLineEdit::textChanged, this, [this](const QString& text) {
    edit_.settings.listen = text.toStdString();
    renderValidity();
    renderViewerAddress();
  });
  rows->addRow(q(form::listenAddress(zh_)), listen_);
  auto* tokenRow = new QWidget(connection);
  auto* tokenLayout = new QHBoxLayout(tokenRow);
  tokenLayout->setContentsMargins(0, 0, 0, 0);
  token_ = new QLineEdit(tokenRow);
  token_->setMinimumWidth(140);
  token_->setObjectName("token");
  token_->setEchoMode(QLineEdit::Password);
  // One over the limit, so a longer paste shows as refused instead of cut.
  token_->setMaxLength(tokenLimit + 1);
  token_->setPlaceholderText(q(form::tokenReadingPlaceholder(zh_)));
  connect(token_, &QLineEdit::textEdited, this, [this](const QString& text) {
    tokenEdited_ = true;
    edit_.token = text.toStdString();
    token_->setPlaceholderText(q(form::tokenPlaceholder(zh_)));
  });
  connect(token_, &QLineEdit::textChanged, this, [this] { renderValidity(); });
  QPushButton* show = button(texts::showToken(zh_), tokenRow);
  show->setObjectName("showToken");
  show->setCheckable(true);
  connect(show, &QPushButton::toggled, this,
          [this](bool on) { token_->setEchoMode(on ? QLineEdit::Normal : QLineEdit::Password); });
  QPushButton* generate = button(form::generate(zh_), tokenRow);
  generate->setObjectName("generate");
  connect(generate, &QPushButton::clicked, this, [this] {
    token_->setText(q(TokenStore::random()));
    tokenEdited_ = true;
    edit_.token = token_->text().toStdString();
  });
  tokenLayout->addWidget(token_, 1);
  tokenLayout->addWidget(show);
  tokenLayout->addWidget(generate);
  rows->addRow(q(form::token(zh_)), tokenRow);
  viewer_ = new QLabel(connection);
  viewer_->setObjectName("viewerAddress");
  viewer_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  rows->addRow(viewer_);
  connect(&services_.host, &HostController::addressesChanged, this, [this] { renderViewerAddress(); });
  renderViewerAddress();
  section(form::connectionSection(zh_), connection, form::connectionFooter(zh_));

  // Picture and sound. A stored value the pickers do not offer selects
  // nothing and is saved back as it was.
  QFrame* picture = group(page);
  rows = formLayout(picture);
  bitrate_ = new QComboBox(picture);
  bitrate_->setObjectName("bitrate");
  const auto bitrates = form::bitrateOptions();
  for (const auto& option : bitrates) bitrate_->addItem(q(option.label), q(option.value));
  const auto bitrateAt = form::optionIndex(bitrates, edit_.settings.bitrate);
  bitrate_->setCurrentIndex(bitrateAt ? static_cast<int>(*bitrateAt) : -1);
  connect(bitrate_, &QComboBox::activated, this,
          [this](int index) { edit_.settings.bitrate = bitrate_->itemData(index).toString().toStdString(); });
  rows->addRow(q(form::bitrate(zh_)), bitrate_);
  maxWidth_ = new QComboBox(picture);
  maxWidth_->setObjectName("maxWidth");
  const auto widths = form::maxWidthOptions(zh_);
  for (const auto& option : widths) maxWidth_->addItem(q(option.label), QVariant::fromValue<qint64>(option.value));
  const auto widthAt = form::optionIndex(widths, edit_.settings.maxWidth);
  maxWidth_->setCurrentIndex(widthAt ? static_cast<int>(*widthAt) : -1);
  connect(maxWidth_, &QComboBox::activated, this,
          [this](int index) { edit_.settings.maxWidth = maxWidth_->itemData(index).value<qint64>(); });
  rows->addRow(q(form::maxWidth(zh_)), maxWidth_);
  audio_ = new QCheckBox(q(form::sendAudio(zh_)), picture);
  audio_->setObjectName("audio");
  audio_->setChecked(edit_.settings.audio);
  connect(audio_, &QCheckBox::toggled, this, [this](bool on) { edit_.settings.audio = on; });
  rows->addRow(audio_);
  section(form::pictureSection(zh_), picture, {});

  // Permissions
  QFrame* permissions = group(page);
  auto* permissionRows = new QVBoxLayout(permissions);
  screenRecording_ = new PermissionRow(
      form::screenRecording(zh_), zh_, [this] { services_.permissions.requestScreenRecording(); }, permissions);
  accessibility_ = new PermissionRow(
      form::accessibility(zh_), zh_, [this] { services_.permissions.requestAccessibility(); }, permissions);
  screenRecording_->setObjectName("screenRecording");
  accessibility_->setObjectName("accessibility");
  permissionRows->addWidget(screenRecording_);
  permissionRows->addWidget(accessibility_);
  // On X11 nothing needs allowing once, nor a relaunch.
  section(form::permissionsSection(zh_), permissions, wayland_ ? form::permissionsFooter(zh_) : std::string());

  // The login item, outside any section. A first setup proposes it.
  QFrame* login = group(page);
  auto* loginRow = new QVBoxLayout(login);
  loginItem_ = new QCheckBox(q(form::launchAtLogin(zh_)), login);
  loginItem_->setObjectName("loginItem");
  loginItem_->setChecked(edit_.loginItem);
  loginRow->addWidget(loginItem_);
  notifications_ = new QCheckBox(q(texts::showNotifications(zh_)), login);
  notifications_->setObjectName("showNotifications");
  notifications_->setChecked(edit_.showNotifications);
  loginRow->addWidget(notifications_);
  section({}, login, {});

  // Version and updates. Both buttons act at once, without Save.
  QFrame* updates = group(page);
  rows = formLayout(updates);
  currentVersion_ = new QLabel(updates);
  latestVersion_ = new QLabel(updates);
  latestVersion_->setWordWrap(true);
  rows->addRow(q(form::currentVersion(zh_)), currentVersion_);
  rows->addRow(q(form::latestVersion(zh_)), latestVersion_);
  autoCheck_ = new QCheckBox(q(form::checkAutomatically(zh_)), updates);
  autoCheck_->setObjectName("autoCheck");
  autoCheck_->setChecked(edit_.autoCheckUpdates);
  rows->addRow(autoCheck_);
  auto* buttons = new QWidget(updates);
  auto* buttonRow = new QHBoxLayout(buttons);
  buttonRow->setContentsMargins(0, 0, 0, 0);
  buttonRow->addStretch(1);
  checkNow_ = button(form::checkNow(zh_), buttons);
  checkNow_->setObjectName("checkNow");
  connect(checkNow_, &QPushButton::clicked, this, [this] { services_.updates.checkForUpdates(true); });
  updateNow_ = button(form::updateNow(zh_), buttons);
  updateNow_->setObjectName("updateNow");
  connect(updateNow_, &QPushButton::clicked, this, [this] { services_.updates.promptUpdate(); });
  buttonRow->addWidget(checkNow_);
  buttonRow->addWidget(updateNow_);
  rows->addRow(buttons);
  section(form::updatesSection(zh_), updates, form::updatesFooter(zh_));

  layout->addStretch(1);
  return page;
}

QWidget* SettingsView::buildBottomBar() {
  auto* bar = new QWidget(this);
  auto* layout = new QHBoxLayout(bar);
  invalid_ = caption(form::invalidListen(zh_), bar);
  invalid_->setObjectName("invalidListen");
  // Wraps: the Quit button may share the bar.
  invalid_->setWordWrap(true);
  setTextColour(invalid_, invalidRed);
  layout->addWidget(invalid_, 3);
  layout->addStretch(1);
  // Without a tray there is no menu to quit from.
  quit_ = button(menu::quit(zh_), bar);
  quit_->setObjectName("quit");
  connect(quit_, &QPushButton::clicked, this, [] { QCoreApplication::quit(); });
  layout->addWidget(quit_);
  QPushButton* cancel = button(form::cancel(zh_), bar);
  cancel->setObjectName("cancel");
  connect(cancel, &QPushButton::clicked, this, &SettingsView::reject);
  save_ = new QPushButton(q(form::saveAndStart(zh_)), bar);
  save_->setObjectName("save");
  save_->setDefault(true);
  // The default look is the accent fill; focus adds a ring of its own.
  save_->setStyleSheet(
      QStringLiteral("QPushButton#save:focus { outline: none; border: 2px solid palette(highlight); "
                     "border-radius: 4px; padding: 4px 12px; }"));
  connect(save_, &QPushButton::clicked, this, &SettingsView::save);
  layout->addWidget(cancel);
  layout->addWidget(save_);
  return bar;
}

void SettingsView::renderValidity() {
  const bool listenValid = form::listenValid(edit_.settings);
  const bool tokenValid = token_->text().size() <= tokenLimit;
  invalid_->setText(q(listenValid ? texts::tokenTooLong(zh_) : form::invalidListen(zh_)));
  invalid_->setVisible(!listenValid || !tokenValid);
  save_->setEnabled(listenValid && tokenValid);
}

void SettingsView::renderPermissions() {
  const bool screen = services_.host.screenRecording();
  // On X11 a refused connection takes both; a missing XTEST only input.
  screenRecording_->setGranted(screen, wayland_ ? std::string() : texts::xServerRefused(zh_));
  accessibility_->setGranted(services_.host.accessibility(), wayland_ ? std::string()
                                                             : screen ? texts::noXtest(zh_)
                                                                      : texts::xServerRefused(zh_));
}

void SettingsView::showEvent(QShowEvent* event) {
  quit_->setVisible(!QSystemTrayIcon::isSystemTrayAvailable());
  QDialog::showEvent(event);
}

void SettingsView::renderUpdates() {
  const UpdatePhase& phase = services_.updates.updatePhase();
  currentVersion_->setText(q(services_.updates.currentVersion()));
  latestVersion_->setText(q(services_.updates.updateSummary()));
  checkNow_->setEnabled(menu::checkEnabled(phase));
  updateNow_->setVisible(services_.updates.availableUpdate().has_value());
  updateNow_->setEnabled(form::updateNowEnabled(phase));
}

void SettingsView::tokenArrived(const TokenRead& read) {
  if (tokenEdited_) return;  // what the user typed meanwhile wins
  if (!read.token) {
    token_->setPlaceholderText(q(form::tokenUnreadablePlaceholder(zh_)));
    return;
  }
  token_->setPlaceholderText(q(form::tokenPlaceholder(zh_)));
  token_->setText(q(*read.token));
  edit_.token = read.token;
}

void SettingsView::renderViewerAddress() {
  const auto address = viewerAddress(edit_.settings, services_.host.addresses());
  viewer_->setText(address ? q(texts::openOnPhone(zh_) + *address) : QString());
  viewer_->setVisible(address.has_value());
}

void SettingsView::save() {
  if (!save_->isEnabled()) return;
  edit_.loginItem = loginItem_->isChecked();
  edit_.autoCheckUpdates = autoCheck_->isChecked();
  edit_.showNotifications = notifications_->isChecked();
  // Pasted text (setText) does not count as an edit, so the field is read here.
  if (edit_.token) edit_.token = token_->text().toStdString();
  if (!services_.host.applySettings(edit_)) return;
  if (onDone_) onDone_();
}

void SettingsView::reject() {
  if (onDone_) onDone_();
}

void SettingsView::closeEvent(QCloseEvent* event) {
  // Accepting hides the window; it stays built, edits and all.
  event->accept();
}

SettingsWindow::SettingsWindow(SettingsView::Services services) : services_(services) {}

SettingsWindow::~SettingsWindow() { delete window_.data(); }

void SettingsWindow::show() {
  if (!window_) window_ = new SettingsView(services_, [this] { forget(); });
  // Also back from minimised, where a window manager may still put it.
  window_->setWindowState((window_->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  window_->show();
  window_->raise();
  window_->activateWindow();
}

void SettingsWindow::forget() {
  if (!window_) return;
  window_->hide();
  // Later: this runs inside one of the window's own handlers.
  window_->deleteLater();
  window_ = nullptr;
}

}  // namespace qx::host
