#pragma once

// UDisks2 on a private bus for the tests: a dbus-daemon of its own and
// python3-dbusmock with the project's template (udisks2_template.py, beside
// this file; VARNELO_UDISKS2_TEMPLATE names it). Both are stopped by the
// destructor. The program under test is pointed at address().

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

namespace varnelo::testsupport {

class UDisks2Mock {
public:
    static constexpr const char* kPython = "/usr/bin/python3";

    // "" when the machine has what it takes, else what is missing.
    static QString unavailable()
    {
        if (!QFile::exists(QStringLiteral("/usr/bin/dbus-daemon")))
            return QStringLiteral("dbus-daemon is not installed");
        QProcess p;
        p.start(QString::fromLatin1(kPython), {QStringLiteral("-c"), QStringLiteral("import dbusmock")});
        if (!p.waitForFinished(20000) || p.exitCode() != 0)
            return QStringLiteral("python3-dbusmock is not installed");
        return QString();
    }

    // withService false: the bus alone, as on a machine without UDisks2.
    explicit UDisks2Mock(bool withService = true)
    {
        const QString config = dir_.filePath(QStringLiteral("bus.conf"));
        QFile f(config);
        if (!f.open(QIODevice::WriteOnly))
            return;
        f.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                "<busconfig><type>system</type><listen>unix:dir=" +
                dir_.path().toUtf8() +
                "</listen><auth>EXTERNAL</auth>"
                "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow receive_sender=\"*\"/></policy></busconfig>\n");
        f.close();
        bus_.start(QStringLiteral("/usr/bin/dbus-daemon"), {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (!bus_.waitForReadyRead(10000))
            return;
        address_ = QString::fromUtf8(bus_.readLine()).trimmed();
        connection_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address_, name()));
        if (!withService)
            return;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address_);
        mock_.setProcessEnvironment(env);
        mock_.setProcessChannelMode(QProcess::MergedChannels);
        mock_.start(QString::fromLatin1(kPython), {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--template"), QStringLiteral(VARNELO_UDISKS2_TEMPLATE)});
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 15000 && !connection_->interface()->isServiceRegistered(QStringLiteral("org.freedesktop.UDisks2")))
            QThread::msleep(50);
    }

    ~UDisks2Mock()
    {
        for (QProcess* p : {&mock_, &bus_}) {
            p->terminate();
            if (!p->waitForFinished(5000)) {
                p->kill();
                p->waitForFinished(5000);
            }
        }
        connection_.reset();
        QDBusConnection::disconnectFromBus(name());
    }
    UDisks2Mock(const UDisks2Mock&) = delete;
    UDisks2Mock& operator=(const UDisks2Mock&) = delete;

    bool isRunning() const
    {
        return connection_ && connection_->interface()->isServiceRegistered(QStringLiteral("org.freedesktop.UDisks2"));
    }
    QString address() const { return address_; }
    // What the stand-in printed: its calls and any Python error.
    QString log() { return QString::fromUtf8(mock_.readAll()); }

    QString addDrive(const QString& name, bool optical) { return call<QDBusObjectPath>("AddDrive", {name, optical}).path(); }
    // A medium in `drive`: the block device `device` with an ext4 file
    // system that Mount puts at `at` (by mount(8) when `really`).
    QString insertMedium(const QString& drive, const QString& device, const QString& label, const QString& at, bool really)
    {
        return call<QDBusObjectPath>("InsertMedium", {drive, device, label, at, really}).path();
    }
    // The next call of `method` fails with the D-Bus error `errorName`.
    void failNext(const QString& method, const QString& errorName)
    {
        call<void>("FailNext", {method, errorName, QStringLiteral("refused by the test")});
    }
    // "seconds method object details" for each event, in order.
    QStringList events() { return call<QStringList>("GetEvents", {}); }

private:
    QString name() const { return QStringLiteral("udisks2-mock-") + dir_.path(); }

    template <typename T>
    T call(const char* method, const QVariantList& args)
    {
        QDBusInterface mock(QStringLiteral("org.freedesktop.UDisks2"), QStringLiteral("/org/freedesktop/UDisks2"),
                            QStringLiteral("org.freedesktop.DBus.Mock"), *connection_);
        const QDBusMessage reply = mock.callWithArgumentList(QDBus::Block, QString::fromLatin1(method), args);
        if constexpr (!std::is_void_v<T>) {
            if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
                return T {};
            return qdbus_cast<T>(reply.arguments().constFirst());
        }
    }

    QTemporaryDir dir_;
    QProcess bus_;
    QProcess mock_;
    QString address_;
    std::unique_ptr<QDBusConnection> connection_;
};

}  // namespace varnelo::testsupport
