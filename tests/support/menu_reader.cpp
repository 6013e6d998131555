// Prints the items of the next menu that takes keyboard focus in any
// application on this session's accessibility bus, one name per line, then
// exits; exits 1 after a timeout. A popup menu is not among an application's
// accessible windows, so it is found through the focus event of its item.

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QTimer>
#include <cstdio>

namespace {

struct Ref {
  QString service;
  QDBusObjectPath path;
};

const QDBusArgument& operator>>(const QDBusArgument& in, Ref& ref) {
  in.beginStructure();
  in >> ref.service >> ref.path;
  in.endStructure();
  return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const Ref& ref) {
  out.beginStructure();
  out << ref.service << ref.path;
  out.endStructure();
  return out;
}

}  // namespace

Q_DECLARE_METATYPE(Ref)

namespace {

QVariant accessibleProperty(QDBusConnection& bus, const Ref& ref, const QString& name) {
  QDBusMessage call =
      QDBusMessage::createMethodCall(ref.service, ref.path.path(), "org.freedesktop.DBus.Properties", "Get");
  call << QString("org.a11y.atspi.Accessible") << name;
  const QDBusMessage reply = bus.call(call);
  if (reply.type() != QDBusMessage::ReplyMessage) return {};
  return reply.arguments().value(0).value<QDBusVariant>().variant();
}

class Reader : public QObject {
  Q_OBJECT

 public:
  explicit Reader(QDBusConnection bus) : bus_(std::move(bus)) {}

 public slots:
  void onStateChanged(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (args.size() < 2 || args[0].toString() != "focused" || args[1].toInt() != 1) return;
    const Ref item{message.service(), QDBusObjectPath(message.path())};
    Ref menu;
    accessibleProperty(bus_, item, "Parent").value<QDBusArgument>() >> menu;
    QDBusMessage call =
        QDBusMessage::createMethodCall(menu.service, menu.path.path(), "org.a11y.atspi.Accessible", "GetChildren");
    const QDBusMessage reply = bus_.call(call);
    if (reply.type() != QDBusMessage::ReplyMessage) return;
    QList<Ref> children;
    reply.arguments().value(0).value<QDBusArgument>() >> children;
    for (const Ref& child : children)
      std::printf("%s\n", accessibleProperty(bus_, child, "Name").toString().toUtf8().constData());
    std::fflush(stdout);
    QCoreApplication::exit(0);
  }

 private:
  QDBusConnection bus_;
};

}  // namespace

#include "menu_reader.moc"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  qDBusRegisterMetaType<Ref>();
  qDBusRegisterMetaType<QList<Ref>>();
  QDBusInterface launcher("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", QDBusConnection::sessionBus());
  const QDBusReply<QString> address = launcher.call("GetAddress");
  if (!address.isValid()) {
    std::fprintf(stderr, "menu_reader: no accessibility bus: %s\n", qPrintable(address.error().message()));
    return 2;
  }
  QDBusConnection bus = QDBusConnection::connectToBus(address.value(), "a11y");
  Reader reader(bus);
  bus.connect({}, {}, "org.a11y.atspi.Event.Object", "StateChanged", &reader, SLOT(onStateChanged(QDBusMessage)));
  QDBusInterface registry("org.a11y.atspi.Registry", "/org/a11y/atspi/registry", "org.a11y.atspi.Registry", bus);
  registry.call("RegisterEvent", QString("object:state-changed:focused"), QStringList{}, QString{});
  std::printf("ready\n");
  std::fflush(stdout);
  QTimer::singleShot(20000, [] { QCoreApplication::exit(1); });
  return QCoreApplication::exec();
}
