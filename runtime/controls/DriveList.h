#pragma once

#include <QChar>
#include <QComboBox>

namespace rt {

// A drive list: one entry per drive letter, re-read each time it opens.
class DriveList : public QComboBox {
    Q_OBJECT
public:
    explicit DriveList(QWidget *parent = nullptr);
    // "c:".
    QString drive() const;
    // Takes "c:" (anything after the colon is ignored). Raises Change when the
    // drive changes; throws RtError 68 when the drive is not ready.
    void setDrive(const QString &drive);
    void showPopup() override;

signals:
    void change();

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void fill();
    void userPicked(int index);
    QChar m_letter;
    int m_picks = 0; // drives chosen so far, by the user or by setDrive
};

} // namespace rt
