#include "Window.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <xcb/xcb.h>

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <stdexcept>

namespace varnelo::bench {

double monotonicNow()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// ---- DisplayWatch -----------------------------------------------------------

struct DisplayWatch::Impl {
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = 0;
    xcb_atom_t netWmName = 0, utf8 = 0;
    std::set<xcb_window_t> mapped;

    xcb_atom_t atom(const char* name)
    {
        xcb_intern_atom_reply_t* r =
            xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(strlen(name)), name), nullptr);
        const xcb_atom_t a = r ? r->atom : 0;
        free(r);
        return a;
    }

    QString property(xcb_window_t window, xcb_atom_t name, xcb_atom_t type)
    {
        xcb_get_property_reply_t* r =
            xcb_get_property_reply(connection, xcb_get_property(connection, 0, window, name, type, 0, 256), nullptr);
        QString text;
        if (r && xcb_get_property_value_length(r) > 0)
            text = QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(r)), xcb_get_property_value_length(r));
        free(r);
        return text;
    }

    QString titleOf(xcb_window_t window)
    {
        QString t = property(window, netWmName, utf8);
        return t.isEmpty() ? property(window, XCB_ATOM_WM_NAME, XCB_ATOM_ANY) : t;
    }
};

DisplayWatch::DisplayWatch(const QString& display)
    : impl_(std::make_unique<Impl>())
{
    int screenNumber = 0;
    impl_->connection = xcb_connect(display.toLocal8Bit().constData(), &screenNumber);
    if (xcb_connection_has_error(impl_->connection)) {
        xcb_disconnect(impl_->connection);
        impl_->connection = nullptr;
        throw std::runtime_error("cannot connect to the X display " + display.toStdString());
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(impl_->connection));
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    impl_->root = it.data->root;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(impl_->connection, impl_->root, XCB_CW_EVENT_MASK, &mask);
    impl_->netWmName = impl_->atom("_NET_WM_NAME");
    impl_->utf8 = impl_->atom("UTF8_STRING");
    xcb_flush(impl_->connection);
}

DisplayWatch::~DisplayWatch()
{
    if (impl_->connection)
        xcb_disconnect(impl_->connection);
}

std::optional<DisplayWatch::Event> DisplayWatch::next(double timeoutSeconds)
{
    const double deadline = monotonicNow() + timeoutSeconds;
    for (;;) {
        while (xcb_generic_event_t* e = xcb_poll_for_event(impl_->connection)) {
            const uint8_t type = e->response_type & 0x7f;
            std::optional<Event> out;
            if (type == XCB_MAP_NOTIFY) {
                auto* m = reinterpret_cast<xcb_map_notify_event_t*>(e);
                if (!m->override_redirect) {
                    impl_->mapped.insert(m->window);
                    out = Event {Event::Map, m->window, impl_->titleOf(m->window), monotonicNow()};
                }
            } else if (type == XCB_UNMAP_NOTIFY) {
                auto* u = reinterpret_cast<xcb_unmap_notify_event_t*>(e);
                if (impl_->mapped.erase(u->window))
                    out = Event {Event::Unmap, u->window, QString(), monotonicNow()};
            }
            free(e);
            if (out)
                return out;
        }
        if (xcb_connection_has_error(impl_->connection))
            throw std::runtime_error("the X display went away");
        const double left = deadline - monotonicNow();
        if (left <= 0)
            return std::nullopt;
        pollfd p {xcb_get_file_descriptor(impl_->connection), POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(left * 1000) + 1);
    }
}

void DisplayWatch::drain()
{
    while (next(0)) {
    }
}

// ---- one run in the window --------------------------------------------------

namespace {

// xdotool with the display of the run; returns when it has sent its input.
// Its "click" sleeps 100 ms after the last click unless told "--delay 0",
// and the events that come meanwhile are read only when it returns.
bool xdotool(const QString& display, const QStringList& args)
{
    const ChildResult r = finishChild(startChild(QStringLiteral("/usr/bin/xdotool"), args, {QStringLiteral("DISPLAY=") + display}), false);
    return r.exitCode == 0;
}

// Where the buttons are, in window coordinates (the layouts are fixed).
constexpr int kImportX = 634, kImportY = 130;  // "IMPORT", below the menu bar
constexpr int kAbortX = 368, kAbortY = 148;    // "Abort" of the progress window

}  // namespace

WindowRunResult runInWindow(const WindowRunOptions& o)
{
    WindowRunResult result;
    QTemporaryDir folder;
    const QString program = folder.filePath(QStringLiteral("Varnelo"));
    // the program's folder is where its settings are: a link of its own
    if (::link(QFile::encodeName(o.program).constData(), QFile::encodeName(program).constData()) != 0 &&
        !QFile::copy(o.program, program))
        throw std::runtime_error("cannot place the program in " + folder.path().toStdString());
    QFile ini(folder.filePath(QStringLiteral("Varnelo.ini")));
    if (!ini.open(QIODevice::WriteOnly) || ini.write(o.settings.toUtf8()) < 0)
        throw std::runtime_error("cannot write the settings");
    ini.close();

    DisplayWatch watch(o.display);
    const StartedChild child = startChild(
        program, {}, {QStringLiteral("DISPLAY=") + o.display, QStringLiteral("QT_QPA_PLATFORM=xcb")});
    auto finish = [&](const QString& problem) {
        result.problem = problem;
        result.process = finishChild(child, true);
        return result;
    };

    std::optional<DisplayWatch::Event> main = watch.next(30);
    if (!main)
        return finish(QStringLiteral("the main window did not appear"));
    // let it settle: the first paint, the settings in the boxes
    QThread::msleep(500);
    watch.drain();

    const double pressed = monotonicNow();
    if (!xdotool(o.display, {QStringLiteral("mousemove"), QStringLiteral("--window"), QString::number(main->window), QString::number(kImportX), QString::number(kImportY), QStringLiteral("click"), QStringLiteral("--delay"), QStringLiteral("0"), QStringLiteral("1")}))
        return finish(QStringLiteral("xdotool could not press IMPORT"));

    std::uint32_t progress = 0, question = 0;
    double progressAt = 0, questionAt = 0, questionTime = 0, abortAt = -1, end = -1;
    const double deadline = pressed + o.timeoutSeconds;
    while (end < 0) {
        const double now = monotonicNow();
        if (now > deadline)
            return finish(QStringLiteral("no summary within %1 s").arg(o.timeoutSeconds));
        if (!progress && questionAt > 0 && now > questionAt + 15)
            return finish(QStringLiteral("a message box came instead of the run"));
        double wait = deadline - now;
        if (progress && o.abortAfter >= 0 && abortAt < 0) {
            const double due = progressAt + o.abortAfter;
            if (now >= due) {
                abortAt = monotonicNow();
                xdotool(o.display, {QStringLiteral("mousemove"), QStringLiteral("--window"), QString::number(progress), QString::number(kAbortX), QString::number(kAbortY), QStringLiteral("click"), QStringLiteral("--delay"), QStringLiteral("0"), QStringLiteral("1")});
                continue;
            }
            wait = std::min(wait, due - now);
        }
        const std::optional<DisplayWatch::Event> e = watch.next(wait);
        if (!e)
            continue;
        if (e->kind == DisplayWatch::Event::Map) {
            if (e->title == QLatin1String("Import progress")) {
                progress = e->window;
                progressAt = e->at;
            } else if (!progress) {
                // "No file suffix defined ... Proceed?": the operator says Yes
                question = e->window;
                questionAt = e->at;
                xdotool(o.display, {QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(e->window), QStringLiteral("key"), QStringLiteral("Return")});
            } else {
                result.summary = e->title;
                end = e->at;
            }
        } else if (e->window == question) {
            questionTime += e->at - questionAt;
            question = 0;
        } else if (progress && e->window == progress) {
            end = e->at;  // the run ended without a summary (nothing imported)
        }
    }
    if (abortAt >= 0)
        result.abortAnswer = end - abortAt;
    result.process = finishChild(child, true);
    result.process.seconds = end - pressed - questionTime;
    result.process.exitCode = 0;  // ended by us
    return result;
}

}  // namespace varnelo::bench
