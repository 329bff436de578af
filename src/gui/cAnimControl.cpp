#include "gui/cAnimControl.h"

#include "base/Error.h"
#include "base/ProgramFolder.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMovie>
#include <QResource>

// The clip lives in a static library: its resources must be pulled in by name.
static void initClipResource()
{
    Q_INIT_RESOURCE(clip);
}

namespace varnelo {

namespace {

bool isProgramFile(const QString& path)
{
    if (path.isEmpty())
        return true;
    const QFileInfo given(path);
    const QFileInfo self(QCoreApplication::applicationFilePath());
    if (given.exists() && given.canonicalFilePath() == self.canonicalFilePath())
        return true;
    // the program folder's own program file, whatever it is called here
    return given.absolutePath() == QFileInfo(programFolder()).absoluteFilePath() &&
        given.completeBaseName().compare(QStringLiteral("Varnelo"), Qt::CaseInsensitive) == 0;
}

}  // namespace

cAnimControl::cAnimControl(QObject* parent)
    : QObject(parent)
{
    initClipResource();
}

cAnimControl::~cAnimControl()
{
    destroyControl();
}

QWidget* cAnimControl::hwnd() const
{
    return control_.data();
}

bool cAnimControl::isPlaying() const
{
    return movie_ && movie_->state() == QMovie::Running;
}

int cAnimControl::currentFrame() const
{
    return movie_ ? movie_->currentFrameNumber() : -1;
}

void cAnimControl::StartPlay(std::int32_t From, std::int32_t To, std::int32_t Repeat)
{
    if (!open_ || !control_ || !movie_)
        return;
    // only the low 16 bits count; -1 stays "last" and "forever"
    from_ = static_cast<std::int16_t>(From & 0xFFFF);
    to_ = static_cast<std::int16_t>(To & 0xFFFF);
    repeat_ = Repeat;
    played_ = 0;
    if (from_ < 0)
        from_ = 0;
    lastFrame_ = from_;
    movie_->stop();
    movie_->jumpToFrame(from_);
    movie_->start();
    movie_->jumpToFrame(from_);
}

void cAnimControl::StopPlay()
{
    if (!open_ || !control_ || !movie_)
        return;
    movie_->setPaused(true);
}

void cAnimControl::setFilename(const QString& name)
{
    closeClip();
    resourceId_ = 0;
    resourceFileName_.clear();
    filename_ = name;
    openClip();
}

void cAnimControl::setResourceId(std::int32_t id)
{
    closeClip();
    filename_.clear();
    resourceId_ = id;
    openClip();
}

void cAnimControl::setResourceFileName(const QString& name)
{
    closeClip();
    filename_.clear();
    resourceFileName_ = name;
    openClip();
}

void cAnimControl::setOwner(QWidget* owner)
{
    if (!owner)
        return;
    owner_ = owner;
    if (!createControl())
        throw Error(45001, QStringLiteral("Could not create Animation Control."));
    openClip();
}

void cAnimControl::setTransparent(bool on)
{
    if (on == transparent_)
        return;
    transparent_ = on;
    if (control_)
        createControl();
}

void cAnimControl::setCentre(bool on)
{
    if (on == centre_)
        return;
    centre_ = on;
    if (control_)
        createControl();
}

void cAnimControl::setAutoPlay(bool on)
{
    if (on == autoPlay_)
        return;
    autoPlay_ = on;
    if (control_)
        createControl();
}

bool cAnimControl::createControl()
{
    destroyControl();
    if (!owner_)
        return false;
    control_ = new QLabel(owner_);
    control_->setObjectName(QStringLiteral("animControl"));
    control_->setAlignment(centre_ ? Qt::AlignCenter : (Qt::AlignLeft | Qt::AlignTop));
    control_->setAttribute(Qt::WA_TranslucentBackground, transparent_);
    control_->setAutoFillBackground(!transparent_);
    control_->setGeometry(0, 0, 0, 0);
    owner_->installEventFilter(this);
    control_->show();
    fit();
    return true;
}

void cAnimControl::destroyControl()
{
    if (!control_)
        return;
    closeClip();
    if (owner_)
        owner_->removeEventFilter(this);
    control_->hide();
    delete control_.data();
    control_.clear();
}

void cAnimControl::fit()
{
    if (control_ && owner_)
        control_->setGeometry(owner_->rect());
}

bool cAnimControl::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == owner_ && event->type() == QEvent::Resize)
        fit();
    return QObject::eventFilter(watched, event);
}

void cAnimControl::openClip()
{
    if (!control_)
        return;
    QString source;
    if (resourceId_ != 0) {
        if (!isProgramFile(resourceFileName_)) {
            // a resource file of its own (rcc binary), registered while open
            if (!QResource::registerResource(resourceFileName_)) {
                openFailed(45003, QStringLiteral("Failed to load the resource library '%1'").arg(resourceFileName_));
                return;
            }
            registeredResourceFile_ = resourceFileName_;
        }
        source = QStringLiteral(":/AVI/") + QString::number(resourceId_);
        if (!QFileInfo::exists(source)) {
            openFailed(45002, QStringLiteral("Failed to open the AVI from the resource ") + QString::number(resourceId_));
            closeClip();
            return;
        }
    } else {
        if (filename_.isEmpty())
            return;
        source = filename_;
    }

    lastErrorNumber_ = 0;
    lastErrorDescription_.clear();
    auto movie = std::make_unique<QMovie>(source);
    if (!movie->isValid() || movie->frameCount() == 0) {
        if (resourceId_ != 0)
            openFailed(45002, QStringLiteral("Failed to open the AVI from the resource ") + QString::number(resourceId_));
        else
            openFailed(45002, QStringLiteral("Failed to open the file '%1'").arg(filename_));
        closeClip();
        return;
    }
    movie->setCacheMode(QMovie::CacheAll);
    movie_ = std::move(movie);
    connect(movie_.get(), &QMovie::frameChanged, this, &cAnimControl::onFrame);
    control_->setMovie(movie_.get());
    movie_->jumpToFrame(0);
    const QSize frame = movie_->currentImage().size();
    if (!centre_)
        control_->resize(frame);
    control_->show();
    width_ = centre_ ? (owner_ ? owner_->width() : frame.width()) : frame.width();
    height_ = centre_ ? (owner_ ? owner_->height() : frame.height()) : frame.height();
    if (centre_)
        fit();
    open_ = true;
    if (autoPlay_)
        StartPlay(0, -1, -1);
}

void cAnimControl::onFrame(int frame)
{
    if (!movie_)
        return;
    const int last = movie_->frameCount() - 1;
    const int end = (to_ < 0 || to_ > last) ? last : to_;
    const bool wrapped = frame < lastFrame_;
    lastFrame_ = frame;
    if (frame <= end && !wrapped)
        return;
    // one round of From..To is done
    ++played_;
    if (repeat_ >= 0 && played_ >= repeat_) {
        movie_->setPaused(true);
        return;
    }
    if (frame != from_) {
        lastFrame_ = from_;
        movie_->jumpToFrame(from_);
    }
}

// Failures of the open step stay inside the control (the area stays empty);
// only creation reaches the caller. The last one is kept for a look.
void cAnimControl::openFailed(std::int32_t number, const QString& description)
{
    lastErrorNumber_ = number;
    lastErrorDescription_ = description;
}

void cAnimControl::closeClip()
{
    if (control_) {
        if (movie_)
            movie_->stop();
        control_->setMovie(nullptr);
        control_->hide();
    }
    movie_.reset();
    if (!registeredResourceFile_.isEmpty()) {
        QResource::unregisterResource(registeredResourceFile_);
        registeredResourceFile_.clear();
    }
    open_ = false;
}

}  // namespace varnelo
