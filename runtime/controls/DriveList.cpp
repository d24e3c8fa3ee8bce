#include "runtime/controls/DriveList.h"

#include "runtime/controls/FocusMark.h"
#include "runtime/media/Drives.h"
#include "runtime/text/RtError.h"
#include "runtime/media/OnMedium.h"
#include "runtime/media/Volume.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QStylePainter>

#include <algorithm>

namespace rt {

namespace {

// What a screen reader hears of a drive list: its own name, then the drive
// chosen, as the entry shows it ("Source drive, d: [MYSTICK]"). Qt's AT-SPI
// bridge passes no text value on, so the chosen drive goes into the name too.
class DriveListAccessible : public QAccessibleWidget {
public:
    explicit DriveListAccessible(DriveList *list) : QAccessibleWidget(list, QAccessible::ComboBox)
    {
        QObject::connect(list, &QComboBox::currentTextChanged, list, [list] {
            QAccessibleEvent renamed(list, QAccessible::NameChanged);
            QAccessible::updateAccessibility(&renamed);
        });
    }

    QString text(QAccessible::Text t) const override
    {
        const auto *list = static_cast<const DriveList *>(widget());
        if (t == QAccessible::Name && !list->accessibleName().isEmpty())
            return list->currentText().isEmpty()
                ? list->accessibleName()
                : list->accessibleName() + QStringLiteral(", ")
                    + list->itemData(list->currentIndex(), Qt::AccessibleTextRole).toString();
        if (t == QAccessible::Value)
            return list->currentText();
        return QAccessibleWidget::text(t);
    }
    QStringList actionNames() const override
    {
        return QAccessibleWidget::actionNames() << showMenuAction();
    }
    void doAction(const QString &action) override
    {
        if (action == showMenuAction())
            static_cast<DriveList *>(widget())->showPopup();
        else
            QAccessibleWidget::doAction(action);
    }
};

QAccessibleInterface *driveListAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String(DriveList::staticMetaObject.className()) && object->isWidgetType())
        return new DriveListAccessible(static_cast<DriveList *>(object));
    return nullptr;
}


// The tooltip of a drive: its folder, file system and space. A drive that
// does not answer at once is described without its space rather than hold
// the list. ready: as the list found it; a share, not asked there, is asked here.
QString driveDescription(QChar letter, bool ready)
{
    const QString folder = Drives::instance().root(letter);
    std::optional<Volume> volume;
    try {
        if (ready)
            volume = onMedium(QString(letter), [letter, folder, share = Drives::instance().isNetwork(letter)] {
                return !share || Drives::instance().isReady(letter) ? volumeOf(folder) : std::nullopt;
            }, std::chrono::milliseconds(500));
    } catch (const RtError &) {
    }
    if (!volume)
        return QStringLiteral("Folder: %1").arg(folder);
    volume->mountPoint = folder; // a gvfs share, a test's folder: the drive's own folder
    return volume->description();
}

} // namespace

// ---- DriveList --------------------------------------------------------------

DriveList::DriveList(QWidget *parent) : QComboBox(parent), m_letter(Drives::instance().currentDrive())
{
    static const bool accessibleInstalled = (QAccessible::installFactory(driveListAccessible), true);
    Q_UNUSED(accessibleInstalled);
    fill();
    connect(this, &QComboBox::activated, this, &DriveList::userPicked);
}

QString DriveList::drive() const { return QString(m_letter) + u':'; }

void DriveList::fill()
{
    QList<QChar> letters = Drives::instance().refresh();
    if (!letters.contains(m_letter)) {
        letters.append(m_letter);
        std::sort(letters.begin(), letters.end());
    }
    const QSignalBlocker blocker(this);
    clear();
    for (QChar letter : letters) {
        const QString name = Drives::instance().displayName(letter);
        addItem(name, QVariant(QString(letter)));
        // A drive without its medium (an unplugged stick, an unmounted volume)
        // stays listed but shows as such: greyed, and said. A share is not
        // asked here, where a silent server would hold the list.
        const bool ready = Drives::instance().isNetwork(letter) || Drives::instance().isReady(letter);
        const QString notReady = ready ? QString() : QStringLiteral(", not ready");
        setItemData(count() - 1, driveDescription(letter, ready) + notReady, Qt::ToolTipRole);
        setItemData(count() - 1, name + notReady, Qt::AccessibleTextRole);
        if (!ready)
            setItemData(count() - 1, palette().brush(QPalette::Disabled, QPalette::Text), Qt::ForegroundRole);
    }
    setCurrentIndex(findData(QVariant(QString(m_letter))));
    setToolTip(itemData(currentIndex(), Qt::ToolTipRole).toString());
}

void DriveList::showPopup()
{
    fill(); // a medium mounted since the last look shows up
    QComboBox::showPopup();
}

void DriveList::paintEvent(QPaintEvent *)
{
    // As QComboBox draws itself, but a label too long for the box ends in "…".
    QStylePainter painter(this);
    QStyleOptionComboBox option;
    initStyleOption(&option);
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    const int iconWidth = option.currentIcon.isNull() ? 0 : option.iconSize.width() + 4;
    option.currentText = fontMetrics().elidedText(option.currentText, Qt::ElideRight, field.width() - 2 - iconWidth);
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
    painter.end();
    if (hasFocus())
        drawFocusMark(this, rect().adjusted(2, 2, -2, -2), palette().color(QPalette::Base));
}

void DriveList::changeEvent(QEvent *event)
{
    QComboBox::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        // The drop-down shows the box's own colours.
        view()->setPalette(palette());
        if (QWidget *container = view()->parentWidget())
            container->setPalette(palette());
    }
}

void DriveList::userPicked(int index)
{
    const QString letter = itemData(index).toString();
    if (letter.isEmpty() || letter.at(0) == m_letter)
        return;
    m_letter = letter.at(0);
    ++m_picks;
    setToolTip(itemData(index, Qt::ToolTipRole).toString());
    emit change();
}

void DriveList::setDrive(const QString &drive)
{
    if (drive.isEmpty() || !drive.at(0).isLetter())
        throw RtError(ErrDeviceUnavailable, QStringLiteral("No such drive: \"%1\"").arg(drive));
    const QChar letter = drive.at(0).toLower();
    // The look waits on the medium; a pick meanwhile is the user's last choice.
    const int pick = ++m_picks;
    const bool ready = Drives::instance().isReady(letter);
    if (pick != m_picks)
        return;
    if (!ready)
        throw RtError(ErrDeviceUnavailable, QStringLiteral("Drive %1: is not ready").arg(letter));
    if (letter == m_letter)
        return;
    m_letter = letter;
    fill();
    emit change();
}

} // namespace rt
