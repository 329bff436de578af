#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <memory>

class QLabel;
class QMovie;
class QWidget;

namespace varnelo {

// Plays a silent clip in an owner area of a window: from a file, or from a
// resource (type "AVI", an id) of the program itself or of a resource file.
// The clip's background colour is transparent when Transparent is set, so the
// owner's colour shows through.
class cAnimControl : public QObject {
    Q_OBJECT
public:
    explicit cAnimControl(QObject* parent = nullptr);
    ~cAnimControl() override;

    // Plays frames From..To (0-based, -1 = last) Repeat times (-1 = forever).
    void StartPlay(std::int32_t From, std::int32_t To, std::int32_t Repeat);
    void StopPlay();

    QString Filename() const { return filename_; }
    void setFilename(const QString& name);
    std::int32_t ResourceId() const { return resourceId_; }
    void setResourceId(std::int32_t id);
    QString ResourceFileName() const { return resourceFileName_; }
    void setResourceFileName(const QString& name);
    QWidget* Owner() const { return owner_; }
    void setOwner(QWidget* owner);  // throws Error 45001 when the control cannot be made
    bool Transparent() const { return transparent_; }
    void setTransparent(bool on);
    bool Centre() const { return centre_; }
    void setCentre(bool on);
    bool AutoPlay() const { return autoPlay_; }
    void setAutoPlay(bool on);
    std::int32_t Width() const { return width_; }
    std::int32_t Height() const { return height_; }
    QWidget* hwnd() const;  // the control itself, or null

    bool isOpen() const { return open_; }
    // The last failure of opening a clip (45002, 45003), or 0; its text reads
    // "Failed to open ...", "Failed to load the resource library ...".
    std::int32_t lastErrorNumber() const { return lastErrorNumber_; }
    QString lastErrorDescription() const { return lastErrorDescription_; }
    bool isPlaying() const;
    int currentFrame() const;

private:
    bool createControl();
    void destroyControl();
    void openClip();
    void closeClip();
    void fit();
    void onFrame(int frame);
    void openFailed(std::int32_t number, const QString& description);
    bool eventFilter(QObject* watched, QEvent* event) override;

    QString filename_;
    std::int32_t resourceId_ = 0;
    QString resourceFileName_;
    QPointer<QWidget> owner_;
    bool transparent_ = false;
    bool centre_ = false;
    bool autoPlay_ = false;
    std::int32_t width_ = 0;
    std::int32_t height_ = 0;

    QPointer<QLabel> control_;
    std::unique_ptr<QMovie> movie_;
    QString registeredResourceFile_;
    bool open_ = false;
    int from_ = 0;
    int to_ = -1;
    int repeat_ = -1;
    int played_ = 0;
    int lastFrame_ = 0;
    std::int32_t lastErrorNumber_ = 0;
    QString lastErrorDescription_;
};

}  // namespace varnelo
