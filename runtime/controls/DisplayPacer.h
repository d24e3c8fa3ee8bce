#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

namespace rt {

class PacedControl;

// Holds what the window draws to at most one repaint per frame. A copy sets the
// bar and two captions after every piece, hundreds of times a second; drawing
// each of those would cost more than the copy itself. Values are kept at once
// (and read back at once); only their trip to the screen waits for the frame.
class DisplayPacer : public QObject {
    Q_OBJECT
public:
    static constexpr int kFrameMs = 16;
    static DisplayPacer &instance();

    void post(PacedControl *control);
    void forget(PacedControl *control);
    // Puts every waiting value on the screen now.
    void flush();

private:
    explicit DisplayPacer(QObject *parent);
    QList<PacedControl *> m_waiting;
    QTimer m_timer;
    QElapsedTimer m_sinceFlush;
};

class PacedControl {
public:
    virtual ~PacedControl();

protected:
    void postToScreen() { DisplayPacer::instance().post(this); }
    virtual void applyToScreen() = 0;

private:
    friend class DisplayPacer;
    bool m_waiting = false;
};

} // namespace rt
