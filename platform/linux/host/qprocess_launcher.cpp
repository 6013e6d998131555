#include "platform/linux/host/qprocess_launcher.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <csignal>
#include <memory>

namespace qx::host {
namespace {

QStringList toQt(const std::vector<std::string>& list) {
  QStringList out;
  out.reserve(static_cast<qsizetype>(list.size()));
  for (const std::string& item : list) out << QString::fromStdString(item);
  return out;
}

class QtServerProcess final : public ServerProcess {
 public:
  explicit QtServerProcess(ProcessLauncher::Callbacks callbacks)
      : callbacks_(std::move(callbacks)), process_(new QProcess) {
    process_->setProcessChannelMode(QProcess::MergedChannels);
    process_->setStandardInputFile(QProcess::nullDevice());
    // An end notice already queued is still delivered after this object is
    // gone (the QProcess outlives it until deleteLater), hence the guard.
    std::weak_ptr<bool> alive = alive_;
    QObject::connect(process_, &QProcess::readyReadStandardOutput, process_, [this, alive] {
      if (!alive.expired()) readAvailable();
    });
    QObject::connect(process_, &QProcess::readChannelFinished, process_, [this, alive] {
      if (!alive.expired()) endOutput();
    });
    // Queued: the controller must not see the end inside waitForFinished.
    QObject::connect(
        process_, &QProcess::finished, process_,
        [this, alive](int code, QProcess::ExitStatus status) {
          if (alive.expired()) return;
          readAvailable();
          endOutput();
          ProcessEnd end;
          end.reason = status == QProcess::CrashExit ? ProcessEnd::Reason::signal : ProcessEnd::Reason::exit;
          end.status = code;
          if (callbacks_.ended) callbacks_.ended(*this, end);
        },
        Qt::QueuedConnection);
  }

  ~QtServerProcess() override {
    process_->disconnect();
    if (process_->state() != QProcess::NotRunning) {
      process_->kill();
      process_->waitForFinished(1000);
    }
    // The owner may drop this object from inside the end notice, that is
    // inside an event of the QProcess itself.
    process_->deleteLater();
  }

  bool start(const LaunchRequest& request, std::string& error) {
    QProcessEnvironment environment;
    for (const auto& [name, value] : request.environment)
      environment.insert(QString::fromStdString(name), QString::fromStdString(value));
    process_->setProcessEnvironment(environment);
    const pid_t parent = ::getpid();
    // Runs in the child before exec (which may share the parent's memory).
    process_->setChildProcessModifier([parent] {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      // The host may have died before the request took effect.
      if (::getppid() != parent) ::raise(SIGTERM);
    });
    process_->start(QString::fromStdString(request.program), toQt(request.arguments));
    if (process_->waitForStarted(-1)) return true;
    error = process_->errorString().toStdString();
    return false;
  }

  bool isRunning() const override { return process_->state() != QProcess::NotRunning; }
  void terminate() override { process_->terminate(); }
  void kill() override { process_->kill(); }
  bool waitForFinished(std::chrono::milliseconds timeout) override {
    if (process_->state() == QProcess::NotRunning) return true;
    return process_->waitForFinished(static_cast<int>(timeout.count()));
  }
  std::int64_t pid() const override { return process_->processId(); }

 private:
  void readAvailable() {
    const QByteArray bytes = process_->readAllStandardOutput();
    if (!bytes.isEmpty() && callbacks_.output) callbacks_.output(std::string_view(bytes.constData(), bytes.size()));
  }
  void endOutput() {
    if (outputEnded_) return;
    outputEnded_ = true;
    readAvailable();
    if (callbacks_.outputEnded) callbacks_.outputEnded();
  }

  ProcessLauncher::Callbacks callbacks_;
  QProcess* process_;
  bool outputEnded_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace

ProcessLauncher::LaunchResult QProcessLauncher::launch(const LaunchRequest& request, Callbacks callbacks) {
  auto process = std::make_shared<QtServerProcess>(std::move(callbacks));
  std::string error;
  if (!process->start(request, error)) return error;
  return process;
}

void QProcessLauncher::runAndWait(const std::string& program, const std::vector<std::string>& arguments) {
  QProcess process;
  process.setStandardInputFile(QProcess::nullDevice());
  process.setStandardOutputFile(QProcess::nullDevice());
  process.setStandardErrorFile(QProcess::nullDevice());
  process.start(QString::fromStdString(program), toQt(arguments));
  if (process.waitForStarted(-1)) process.waitForFinished(-1);
}

bool QProcessLauncher::startDetached(const std::string& program, const std::vector<std::string>& arguments) {
  QProcess process;
  process.setProgram(QString::fromStdString(program));
  process.setArguments(toQt(arguments));
  process.setStandardInputFile(QProcess::nullDevice());
  return process.startDetached();
}

}  // namespace qx::host
