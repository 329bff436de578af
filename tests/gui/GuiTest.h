#pragma once

#include "base/AppState.h"
#include "base/Drives.h"
#include "base/MessageBox.h"
#include "base/ProgramFolder.h"
#include "base/RemovableMedia.h"
#include "gui/BrowseForFolder.h"

#include <QAccessible>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace varnelo::test {

// What a screen reader hears for each control of `window` that it would
// announce by name (inputs, lists, bars, buttons, check and option boxes,
// combo boxes), as "objectName=name": the widget's accessible name, else
// its label's text (a buddy), else what Qt finds around it.
inline QStringList spokenNames(const QWidget* window)
{
    QStringList spoken;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
        if (!a || a->object() != w)
            continue;
        switch (a->role()) {
        case QAccessible::EditableText:
        case QAccessible::List:
        case QAccessible::Tree:
        case QAccessible::Table:
        case QAccessible::ProgressBar:
        case QAccessible::PushButton:
        case QAccessible::CheckBox:
        case QAccessible::RadioButton:
        case QAccessible::ComboBox:
        case QAccessible::SpinBox:
            spoken << (w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className()) : w->objectName()) +
                    QLatin1Char('=') + a->text(QAccessible::Name).trimmed();
            break;
        default:
            break;
        }
    }
    return spoken;
}

// The controls of spokenNames that have no name, or one that another
// control of the window has too.
inline QStringList unnamedOrSameNamed(const QWidget* window)
{
    const QStringList spoken = spokenNames(window);
    QStringList names;
    for (const QString& s : spoken)
        names << s.mid(s.indexOf(QLatin1Char('=')) + 1);
    QStringList bad;
    for (qsizetype i = 0; i < spoken.size(); ++i)
        if (names[i].isEmpty() || names.count(names[i]) > 1)
            bad << spoken[i];
    return bad;
}

// A fresh AppState, a temporary program folder, a fixed drive table, and
// message boxes that fail the test instead of waiting for a person.
class GuiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        appState() = AppState {};
        setProgramFolderForTesting(dir.path());
        // the system settings file is the test's own (systemIni), not the machine's
        savedConfigDirs = qEnvironmentVariableIsSet("XDG_CONFIG_DIRS") ? std::optional<QByteArray>(qgetenv("XDG_CONFIG_DIRS"))
                                                                       : std::nullopt;
        qputenv("XDG_CONFIG_DIRS", dir.filePath(QStringLiteral("xdg")).toUtf8());
        // no UDisks2 of the machine: it would mount what happens to be inserted
        setMediaBusForTesting(QStringLiteral("-"));
        setDriveTable(std::make_shared<FixedDriveTable>(QList<DriveEntry> {
            {QStringLiteral("C:"), QStringLiteral("C: (/)"), QStringLiteral("/"), QStringLiteral("/dev/sda1"), false},
            {QStringLiteral("D:"), QStringLiteral("D: (no disc) (/dev/sr0)"), QString(), QStringLiteral("/dev/sr0"), true},
            {QStringLiteral("E:"), QStringLiteral("E: USBSTICK (/media/usb)"), QStringLiteral("/media/usb"),
             QStringLiteral("/dev/sdb1"), false},
        }));
        MessageBox::setHandler([](const MessageBox::Request& r) {
            ADD_FAILURE() << "unexpected message box: " << r.text.toStdString();
            return MessageBox::Answer::Ok;
        });
    }

    void TearDown() override
    {
        MessageBox::setHandler({});
        setFolderPicker({});
        setDriveTable(nullptr);
        setMediaBusForTesting(QString());
        setProgramFolderForTesting(QString());
        if (savedConfigDirs)
            qputenv("XDG_CONFIG_DIRS", *savedConfigDirs);
        else
            qunsetenv("XDG_CONFIG_DIRS");
    }

    // Writes the administrator's settings file that the program reads beside the user's.
    void writeSystemIni(const QByteArray& text) const
    {
        QDir().mkpath(dir.filePath(QStringLiteral("xdg/Varnelo")));
        QFile f(dir.filePath(QStringLiteral("xdg/Varnelo/") + programBaseName() + QStringLiteral(".ini")));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }

    QString iniPath() const { return settingsPath(); }

    void writeIni(const QByteArray& text) const
    {
        QFile f(iniPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }

    QByteArray iniBytes() const
    {
        QFile f(iniPath());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return f.readAll();
    }

    // "Section/Key=value" for every key line, in file order.
    QStringList iniEntries() const
    {
        QStringList entries;
        QString section;
        for (const QByteArray& raw : iniBytes().split('\n')) {
            const QString line = QString::fromUtf8(raw).trimmed();
            const qsizetype eq = line.indexOf(QLatin1Char('='));
            if (line.startsWith(QLatin1Char('[')))
                section = line.mid(1, line.size() - 2);
            else if (eq > 0)
                entries << section + QLatin1Char('/') + line.left(eq).trimmed() + QLatin1Char('=') + line.mid(eq + 1).trimmed();
        }
        return entries;
    }

    QStringList iniKeys() const
    {
        QStringList keys;
        for (const QString& e : iniEntries())
            keys << e.left(e.indexOf(QLatin1Char('=')));
        return keys;
    }

    QString iniValue(const QString& sectionKey) const
    {
        for (const QString& e : iniEntries()) {
            if (e.startsWith(sectionKey + QLatin1Char('=')))
                return e.mid(sectionKey.size() + 1);
        }
        return QStringLiteral("<missing>");
    }

    // Lets events run until `done` holds; false when `ms` pass first.
    static bool waitUntil(const std::function<bool()>& done, int ms)
    {
        QElapsedTimer t;
        t.start();
        while (!done()) {
            if (t.elapsed() > ms)
                return false;
            QCoreApplication::processEvents();
            QThread::msleep(5);
        }
        return true;
    }

    // The selector's entry of the volume mounted at `mountPoint`, or -1.
    static int entryAt(const QComboBox& combo, const QString& mountPoint)
    {
        for (int i = 0; i < combo.count(); ++i)
            if (combo.itemText(i).endsWith(QLatin1Char('(') + mountPoint + QLatin1Char(')')))
                return i;
        return -1;
    }

    template <typename T>
    static T* child(const QWidget* parent, const char* name)
    {
        T* w = parent->findChild<T*>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << "no child " << name;
        return w;
    }

    QTemporaryDir dir;
    std::optional<QByteArray> savedConfigDirs;
};

}  // namespace varnelo::test
