#pragma once

// What the fault tests share: a program folder for the logs, a medium, the
// scripted windows, and readers for the two logs.

#include "import/Fakes.h"

#include "base/AppState.h"
#include "base/ProgramFolder.h"
#include "dicom/testdata/FaultyScp.h"
#include "dicom/testdata/TestData.h"
#include "import/ImportRun.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <stdexcept>

namespace varnelo::faults {

struct ErrorEntry {
    int number = 0;
    QString description;
    QString source;
};

class FaultTest : public ::testing::Test {
protected:
    QTemporaryDir program;
    QTemporaryDir media;
    testing::RecordingView view;
    testing::ScriptedPrompt prompt;
    testing::ScriptedPatients patients;

    void SetUp() override
    {
        ASSERT_TRUE(program.isValid() && media.isValid());
        setProgramFolderForTesting(program.path());
        appState() = AppState {};
        appState().LocalAET = "VARNELO";
        appState().AskHeld = false;  // the faults here are the send's
        appState().Associations = appState().Associations2 = 1;  // one image after the other
    }
    void TearDown() override
    {
        appState() = AppState {};
        setProgramFolderForTesting({});
    }

    void destination1(const testdata::FaultyScp& peer, const QString& host = "127.0.0.1")
    {
        appState().RemoteAET = peer.aeTitle();
        appState().RemoteIP = host;
        appState().RemotePort = QString::number(peer.port());
    }
    void destination2(const testdata::FaultyScp& peer, const QString& host = "localhost")
    {
        appState().UseDestination2 = true;
        appState().RemoteAET2 = peer.aeTitle();
        appState().RemoteIP2 = host;
        appState().RemotePort2 = QString::number(peer.port());
    }

    QString mediaPath(const QString& rel) const { return media.path() + "/" + rel; }

    // `count` images IM000001... in `folder`, `size` pixels square; returns
    // their SOP Instance UIDs.
    QStringList images(const QString& folder, int count, int size = 16)
    {
        QStringList uids;
        if (!QDir().mkpath(folder))
            throw std::runtime_error("cannot make " + folder.toStdString());
        for (int i = 1; i <= count; ++i) {
            testdata::ImageRecipe recipe;
            recipe.rows = recipe.columns = size;
            recipe.instanceNumber = i;
            uids << testdata::makeImage(folder + QStringLiteral("/IM%1").arg(i, 6, 10, QLatin1Char('0')), recipe);
        }
        return uids;
    }

    QList<QByteArray> logLines(const char* name) const
    {
        QFile f(program.path() + "/Logs/" + name);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QList<QByteArray> lines;
        for (QByteArray l : f.readAll().split('\n')) {
            if (l.endsWith('\r'))
                l.chop(1);
            if (!l.isEmpty())
                lines << l;
        }
        return lines;
    }
    std::vector<ErrorEntry> errors() const
    {
        std::vector<ErrorEntry> out;
        for (const QByteArray& l : logLines("Error.log")) {
            const QList<QByteArray> f = l.split('\t');
            if (f.size() < 4) {
                ADD_FAILURE() << "malformed error line: " << l.toStdString();
                continue;
            }
            out.push_back({f[1].toInt(), QString::fromUtf8(f[2]), QString::fromUtf8(f.mid(3).join('\t'))});
        }
        return out;
    }
    // The texts of the transfer log, without their time.
    QStringList debug() const
    {
        QStringList out;
        for (const QByteArray& l : logLines("Debug.log")) {
            const qsizetype tab = l.indexOf('\t');
            out << QString::fromUtf8(tab < 0 ? l : l.mid(tab + 1));
        }
        return out;
    }
};

inline QString statusMessage(std::int32_t status, const QString& host, const QString& reason = {})
{
    return QStringLiteral("Error #%1: Failed to transfer image to %2\r\n\r\nReason: %3").arg(status).arg(host, reason);
}

}  // namespace varnelo::faults
