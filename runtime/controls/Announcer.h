#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>

namespace rt {

// What the window says of a change that no focus and no value carries (a
// copy that starts, is stopped, and what became of its partial file): a
// notification that a screen reader speaks as it appears. It takes no room
// and draws nothing.
class Announcer : public QWidget {
    Q_OBJECT
public:
    explicit Announcer(QWidget *window);
    // The words last said; "" before any.
    QString words() const { return m_words; }
    // Says words now, after any held words, in one utterance.
    void say(const QString &words);
    // Says words a moment later, or with the next words said before then: a
    // reader cuts an utterance off for the next one, and two changes that
    // come together are heard whole, together.
    void hold(const QString &words);

private:
    QString m_words;
    QString m_held;
    QTimer m_holdTime;
};

} // namespace rt
