// The progress window against a slow peer: between images it repaints, and
// its "Abort" button ends the run after the image under way.
#include "base/AppState.h"
#include "base/MessageBox.h"
#include "base/ProgramFolder.h"
#include "dicom/testdata/FaultyScp.h"
#include "dicom/testdata/TestData.h"
#include "gui/ProgressForm.h"

#include <QEvent>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

using namespace varnelo;
using testdata::FaultyScp;

namespace {

class PaintCounter : public QObject {
public:
    const ProgressForm* form = nullptr;
    int duringRun = 0;
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Paint && form && form->isRunning())
            ++duringRun;
        return false;
    }
};

class NoPrompt : public FailurePrompt {
public:
    int shown = 0;
    std::int16_t ShowMessage(const QString&) override
    {
        ++shown;
        return Abort;
    }
};

}  // namespace

TEST(SlowPeerWindow, RepaintsBetweenImagesAndAbortEndsTheRun)
{
    QTemporaryDir program, media;
    setProgramFolderForTesting(program.path());
    QStringList boxes;
    const auto previous = MessageBox::setHandler([&](const MessageBox::Request& r) {
        boxes << r.text;
        return MessageBox::Answer::Ok;
    });

    testdata::ImageRecipe recipe;
    recipe.rows = recipe.columns = 16;
    testdata::makeSeries(media.path(), 20, recipe);
    FaultyScp::Options o;
    o.answerDelayMs = 200;
    FaultyScp pacs(o);

    appState() = AppState {};
    AppState& s = appState();
    s.LocalAET = "VARNELO";
    s.SearchBy = 2;
    s.Location = 2;
    s.ImportFolder = media.path();
    s.RemoteAET = pacs.aeTitle();
    s.RemoteIP = "127.0.0.1";
    s.RemotePort = QString::number(pacs.port());

    QMainWindow main;
    main.show();
    NoPrompt prompt;
    ProgressForm form(
        &main, [] { return QString(); }, &prompt);
    PaintCounter paints;
    paints.form = &form;
    form.pbDetail()->installEventFilter(&paints);
    // pressed once the second image is at the peer, whose answer is held
    // back; not after a fixed time, which a slow (sanitizer) build can miss
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &form, [&] {
        if (pacs.requested().size() >= 2) {
            poll.stop();
            form.cmdAbort()->click();
        }
    });
    poll.start(20);
    form.exec();

    const int count = form.run().ImportedCount;
    EXPECT_GE(count, 2);
    EXPECT_LT(count, 15) << "the button stopped the walk";
    EXPECT_EQ(pacs.held().size(), count) << "nothing after the image under way";
    EXPECT_EQ(pacs.requested().size(), count);
    EXPECT_EQ(boxes, QStringList {QString::number(count) + " images successfully imported!\nThe import was aborted.\nFAULTY could not be asked to confirm."});
    EXPECT_EQ(prompt.shown, 0);
    EXPECT_GE(paints.duringRun, count - 1) << "the bar was drawn between images";

    MessageBox::setHandler(previous);
    setProgramFolderForTesting({});
}
