#include "runtime/controls/DriveList.h"

#include "runtime/controls/FocusMark.h"
#include "runtime/media/Drives.h"
#include "runtime/text/RtError.h"
#include "runtime/media/OnMedium.h"
#include "runtime/media/Volume.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QPointer>
#include <QWindow>
#include <QAccessibleWidget>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QStylePainter>

#include <algorithm>

namespace rt {

namespace {

// The drive a closed box shows, for a screen reader, once a key has changed
// it: an entry of its own, new with each change, which the box's focus moves
// to and a reader speaks. Orca 43 hears nothing of the box's own change (it
// takes the box's new name as redundant, and its drop-down, closed, as dead).
class ShownDriveAccessible : public QAccessibleInterface {
public:
    ShownDriveAccessible(DriveList *list, QString name, QString description)
        : m_list(list), m_name(std::move(name)), m_description(std::move(description))
    {
    }
    bool isValid() const override { return m_list; }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return m_list ? m_list->window()->windowHandle() : nullptr; }
    QAccessibleInterface *parent() const override { return QAccessible::queryAccessibleInterface(m_list); }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name ? m_name : t == QAccessible::Description ? m_description : QString();
    }
    void setText(QAccessible::Text, const QString &) override {}
    QRect rect() const override { return m_list ? QRect(m_list->mapToGlobal(QPoint(0, 0)), m_list->size()) : QRect(); }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QAccessible::State state() const override
    {
        QAccessible::State state;
        state.focusable = state.selectable = state.selected = true;
        state.focused = m_list && m_list->hasFocus();
        return state;
    }

private:
    QPointer<DriveList> m_list;
    QString m_name;
    QString m_description;
};

// What a screen reader hears of a drive list: its own name, then the drive
// chosen, as the entry shows it ("Source drive, d: [MYSTICK]"). Qt's AT-SPI
// bridge passes no text value on, so the chosen drive goes into the name too.
class DriveListAccessible : public QAccessibleWidget {
public:
    // Qt's bridge sends the box's value change as its new name (a name
    // change of its own would be refused). A key that changes the drive in
    // the closed box moves the focus to the drive shown.
    explicit DriveListAccessible(DriveList *list) : QAccessibleWidget(list, QAccessible::ComboBox)
    {
        QObject::connect(list, &QComboBox::currentIndexChanged, list, [this, list](int index) {
            if (!list->hasFocus() || list->view()->isVisible() || index < 0 || !QAccessible::isActive())
                return;
            if (m_shown)
                QAccessible::deleteAccessibleInterface(m_shown);
            m_shown = QAccessible::registerAccessibleInterface(new ShownDriveAccessible(
                list, list->itemData(index, Qt::AccessibleTextRole).toString(),
                list->itemData(index, Qt::ToolTipRole).toString()));
            QAccessibleEvent focus(list, QAccessible::Focus);
            focus.setChild(1);
            QAccessible::updateAccessibility(&focus);
        });
    }
    ~DriveListAccessible() override
    {
        if (m_shown)
            QAccessible::deleteAccessibleInterface(m_shown);
    }

    // The drop-down is the box's first child, as in a plain combo box: a
    // reader that finds no place for it among its parent's children takes
    // it for a dead object and says nothing when it opens. The drive shown,
    // once a key changed it, is the second.
    int childCount() const override { return dropDown() ? (m_shown ? 2 : 1) : 0; }
    QAccessibleInterface *child(int index) const override
    {
        if (!dropDown())
            return nullptr;
        if (index == 0)
            return QAccessible::queryAccessibleInterface(dropDown());
        return index == 1 && m_shown ? QAccessible::accessibleInterface(m_shown) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        if (!child || !dropDown())
            return -1;
        if (child->object() == dropDown())
            return 0;
        return m_shown && child == QAccessible::accessibleInterface(m_shown) ? 1 : -1;
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

private:
    QAccessible::Id m_shown = 0;
    // The drop-down's list, which names the box as its parent.
    QWidget *dropDown() const { return static_cast<const DriveList *>(widget())->view(); }
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
