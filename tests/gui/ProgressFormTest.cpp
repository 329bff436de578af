#include "GuiTest.h"  // readable QString failures

#include "base/AppState.h"
#include "base/Logs.h"
#include "base/MessageBox.h"
#include "base/ProgramFolder.h"
#include "dicom/testdata/TestData.h"
#include "gui/ProgressForm.h"
#include "support/Peers.h"

#include <QFile>
#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace varnelo;
using namespace varnelo::testsupport;
namespace td = varnelo::testdata;

namespace {

class ScriptPrompt : public FailurePrompt {
public:
    std::function<std::int16_t(const QString&)> answer;
    QStringList messages;
    std::int16_t ShowMessage(const QString& text) override
    {
        messages << text;
        return answer ? answer(text) : Ignore;
    }
};

class ProgressWindow : public ::testing::Test {
protected:
    QTemporaryDir program;
    QTemporaryDir media;
    QMainWindow main;
    QStringList boxes;
    MessageBox::Handler previous;

    void SetUp() override
    {
        setProgramFolderForTesting(program.path());
        appState() = AppState {};
        appState().LocalAET = "VARNELO";
        appState().Associations = appState().Associations2 = 1;
        appState().Location = 2;
        appState().ImportFolder = media.path();
        main.resize(749, 471);
        main.show();
        previous = MessageBox::setHandler([this](const MessageBox::Request& r) {
            boxes << r.text;
            return MessageBox::Answer::Ok;
        });
    }
    void TearDown() override
    {
        MessageBox::setHandler(previous);
        setProgramFolderForTesting({});
    }
    void destination(const Peer& peer)
    {
        appState().RemoteAET = peer.aeTitle();
        appState().RemoteIP = "127.0.0.1";
        appState().RemotePort = QString::number(peer.port());
    }
};

}  // namespace

TEST_F(ProgressWindow, UnknownSearchMethodClosesAtOnce)
{
    appState().SearchBy = 3;
    td::makeSeries(media.path(), 1, td::ImageRecipe {});
    ScriptPrompt prompt;
    ProgressForm form(&main, {}, &prompt);
    form.exec();
    EXPECT_TRUE(boxes.isEmpty());
    EXPECT_EQ(form.run().ImportedCount, 0);
}

TEST_F(ProgressWindow, ScanRunShowsBarsAndTheSummary)
{
    auto pacs = Peer::storescp();
    ASSERT_TRUE(pacs);
    destination(*pacs);
    appState().SearchBy = 2;
    appState().AlwaysIgnore = true;  // left from a prompt: cleared with the window
    td::makeSeries(media.path(), 3, td::ImageRecipe {});

    ScriptPrompt prompt;
    ProgressForm form(
        &main, [] { return QString(); }, &prompt);
    EXPECT_EQ(form.windowTitle(), "Import progress");
    form.exec();
    EXPECT_EQ(boxes, QStringList {"3 images successfully imported!\nSTORESCP could not be asked to confirm."}) << boxes.join("|").toStdString();
    EXPECT_TRUE(pacs->waitForFiles(3));
    // the run is over: nothing behind the summary offers to stop it
    EXPECT_EQ(form.Label1()->text(), "Finished.");
    EXPECT_FALSE(form.cmdAbort()->isEnabled());
    EXPECT_EQ(form.pbDetail()->maximum(), 3);
    EXPECT_EQ(form.pbDetail()->value(), 3);
    EXPECT_TRUE(form.pbDetail()->isVisibleTo(&form));
    EXPECT_FALSE(form.picAni()->isVisibleTo(&form));
    EXPECT_FALSE(appState().AlwaysIgnore);
    // lower right corner of the main window
    EXPECT_LT(form.frameGeometry().right(), main.frameGeometry().right());
    EXPECT_LT(form.frameGeometry().bottom(), main.frameGeometry().bottom());
}

TEST_F(ProgressWindow, DicomDirRunWithoutADicomDirSaysSo)
{
    appState().SearchBy = 1;
    ScriptPrompt prompt;
    ProgressForm form(&main, {}, &prompt);
    form.exec();
    EXPECT_EQ(boxes, QStringList {"No DICOMDIR was found in " + media.path() + ". Nothing was imported."}) << boxes.join("|").toStdString();
    // one that cannot be read says so too, with the reason
    td::makeNonDicom(media.path() + "/DICOMDIR", td::NonDicom::Text);
    boxes.clear();
    ProgressForm again(&main, {}, &prompt);
    again.exec();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].startsWith("The DICOMDIR " + media.path() + "/DICOMDIR could not be read: ")) << boxes[0].toStdString();
    EXPECT_TRUE(boxes[0].endsWith(". Nothing was imported.")) << boxes[0].toStdString();
    EXPECT_EQ(form.Label1()->text(), "Finished.");
    EXPECT_TRUE(form.picAni()->isVisibleTo(&form));
}

TEST_F(ProgressWindow, ClosingDuringARunEndsItAfterTheCurrentImage)
{
    appState().SearchBy = 2;
    appState().RemoteAET = "DEAD";
    appState().RemoteIP = "127.0.0.1";
    appState().RemotePort = QString::number(freeLoopbackPort());
    td::makeSeries(media.path(), 3, td::ImageRecipe {});

    ScriptPrompt prompt;
    QPointer<ProgressForm> form = new ProgressForm(&main, {}, &prompt);
    prompt.answer = [&](const QString&) {
        form->close();  // the close box, while the prompt is up
        EXPECT_TRUE(form->isVisible()) << "the window waits for the run to unwind";
        return FailurePrompt::Ignore;
    };
    form->exec();
    EXPECT_EQ(prompt.messages.size(), 1);
    EXPECT_EQ(boxes, QStringList {"0 images successfully imported!\nThe import was aborted.\n1 images could not be sent; "
                                  "the error log names them.\n" +
                                  program.path() + "/Logs/Error.log"})
        << boxes.join("|").toStdString();
    EXPECT_FALSE(form->isVisible());
    delete form;
}

TEST_F(ProgressWindow, EscapeDuringARunDoesNotEndIt)
{
    auto pacs = Peer::storescp();
    ASSERT_TRUE(pacs);
    destination(*pacs);
    appState().SearchBy = 2;
    td::makeSeries(media.path(), 4, td::ImageRecipe {});
    ScriptPrompt prompt;
    ProgressForm form(&main, {}, &prompt);
    QObject::connect(form.pbDetail(), &QProgressBar::valueChanged, &form, [&](int v) {
        if (v == 1)
            QTest::keyClick(&form, Qt::Key_Escape);
    });
    form.exec();
    EXPECT_EQ(boxes, QStringList {"4 images successfully imported!\nSTORESCP could not be asked to confirm."}) << boxes.join("|").toStdString();
}

TEST_F(ProgressWindow, AbortButtonStopsTheWalk)
{
    auto pacs = Peer::storescp();
    ASSERT_TRUE(pacs);
    destination(*pacs);
    appState().SearchBy = 2;
    appState().AskHeld = false;  // the first image goes at once, with no survey before it
    td::makeSeries(media.path(), 5, td::ImageRecipe {});
    ScriptPrompt prompt;
    ProgressForm form(
        &main, [] { return QString(); }, &prompt);
    // pressed as soon as the first image has gone
    QObject::connect(form.pbDetail(), &QProgressBar::valueChanged, &form, [&](int v) {
        if (v == 1)
            form.cmdAbort()->click();
    });
    form.exec();
    EXPECT_EQ(boxes, QStringList {"1 images successfully imported!\nThe import was aborted.\nSTORESCP could not be asked to confirm."})
        << boxes.join("|").toStdString();
    EXPECT_EQ(form.run().ImportedCount, 1);
}

TEST_F(ProgressWindow, SummaryNamesALogThatCouldNotBeWrittenOncePerRun)
{
    QFile blocker(program.path() + "/Logs");  // a file where the folder should be
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    TakeLogTrouble();
    appState().SearchBy = 2;
    appState().WriteLog = 1;
    appState().RemoteAET = "DEAD";
    appState().RemoteIP = "127.0.0.1";
    appState().RemotePort = QString::number(freeLoopbackPort());
    td::makeSeries(media.path(), 2, td::ImageRecipe {});
    ScriptPrompt prompt;  // each failed send ignored: log lines, all refused

    for (int run = 1; run <= 2; ++run) {
        boxes.clear();
        ProgressForm form(&main, {}, &prompt);
        form.exec();
        ASSERT_EQ(boxes.size(), 1);
        const QStringList lines = boxes[0].split('\n');
        // the count, the failed sends, where they are logged, and that the log could not be written
        ASSERT_EQ(lines.size(), 4) << "run " << run << ": " << boxes[0].toStdString();
        EXPECT_EQ(lines[0], "0 images successfully imported!");
        EXPECT_EQ(lines[1], "2 images could not be sent; the error log names them.");
        EXPECT_TRUE(lines[3].startsWith("The logs could not be written: " + program.path() + "/Logs/"))
            << lines[3].toStdString();
        EXPECT_TRUE(lines[3].endsWith(": Not a directory.")) << lines[3].toStdString();
    }
}

// Opened by the launch, the window waits: no run starts behind the
// connection check, and its close box asks the launch to stop rather than
// closing. The status line shows what the run sends, and the run's end
// leaves nothing that offers "Abort".
TEST_F(ProgressWindow, LaunchWaitStatusLineAndTheEndOfTheRun)
{
    appState().SearchBy = 2;
    ScriptPrompt prompt;
    ProgressForm form(&main, {}, &prompt);
    form.showLaunchStatus("Connecting to ORTHANC (127.0.0.1:4242)...");
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QTest::qWait(300);  // a run would have started after 100 ms and ended with its summary
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();
    EXPECT_EQ(form.Label1()->text(), "Connecting to ORTHANC (127.0.0.1:4242)...");
    EXPECT_TRUE(form.cmdAbort()->isEnabled());
    EXPECT_FALSE(form.lblStatus()->isVisibleTo(&form)) << "nothing to say yet";
    EXPECT_FALSE(form.launchAborted());
    form.close();
    EXPECT_TRUE(form.launchAborted());
    EXPECT_TRUE(form.isVisible()) << "the launch closes it once it has stopped";

    const QString status = QString::fromUtf8("Image 674 of 3,000 - Smith^Max\nabout 1 min left");
    form.setStatus(status);
    EXPECT_EQ(form.lblStatus()->text(), status);
    EXPECT_TRUE(form.lblStatus()->isVisibleTo(&form));
    EXPECT_FALSE(form.lblStatus()->accessibleName().isEmpty());
    // under the bars, above "Abort", and both of its lines inside the window
    const QRect line = form.lblStatus()->geometry();
    EXPECT_GE(line.top(), form.pbComplete()->geometry().bottom());
    EXPECT_LT(line.bottom(), form.cmdAbort()->geometry().top());
    EXPECT_GE(line.height(), 2 * form.lblStatus()->fontMetrics().height());
    form.setStatus(QString());
    EXPECT_FALSE(form.lblStatus()->isVisibleTo(&form));

    form.runFinished();
    EXPECT_FALSE(form.cmdAbort()->isEnabled());
    EXPECT_EQ(form.Label1()->text(), "Finished.");
    form.hide();
}
