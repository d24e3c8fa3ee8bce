#include "app/ControlTable.h"

#include "runtime/controls/AccessibleEventPacer.h"

#include "runtime/controls/DisplayPacer.h"
#include "runtime/controls/InputEvents.h"
#include "runtime/files/StartFolder.h"

#include <QGroupBox>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionGroupBox>

#include <algorithm>
#include <cmath>
#include <map>

namespace {

using Kind = ControlRow::Kind;
using Font = ControlRow::Font;

constexpr Font kFrameFont{9.75, true, true};

// The window's controls, in the order of the window's description. Positions
// and sizes in twips, relative to the container; colours 0x00BBGGRR.
const ControlRow kControls[] = {
    {"Frame2", Kind::Frame, nullptr, "Select Destination:", 120, 3240, 2055, 2775, 8, 0x00FF8080, 0x00FF0000, kFrameFont},
    {"txtDest", Kind::TextBox, "Frame2", "Talmo", 240, 2400, 1695, 285, 6, 0x000040C0, {}, {}},
    {"Dir2", Kind::FolderList, "Frame2", "", 240, 720, 1575, 1440, 5, 0x00000000, 0x0000FF00, {}},
    {"drv2", Kind::DriveList, "Frame2", "", 240, 360, 1575, 315, 4, 0x00000000, 0x0000FF00, {}},
    {"Label2", Kind::Label, "Frame2", "File Name:", 240, 2160, 975, 255, 13, {}, 0x00FF0000, Font{8.25, true, false}},
    {"Frame1", Kind::Frame, nullptr, "Select Source:", 120, 120, 5415, 2895, 7, 0x00FF8080, 0x00000000, kFrameFont},
    {"KorFile", Kind::FileList, "Frame1", "", 2040, 360, 3255, 2235, 3, 0x00000000, 0x00FF0000, {}},
    {"KorDir", Kind::FolderList, "Frame1", "", 120, 720, 1815, 1890, 2, 0x00000000, 0x00FF8080, {}},
    {"KorDrv", Kind::DriveList, "Frame1", "", 120, 360, 1815, 315, 1, 0x00000000, 0x00FFC0C0, {}},
    {"KorBar", Kind::ProgressBar, nullptr, "", 5640, 240, 255, 5775, 12, {}, {}, {}},
    {"cmdExit", Kind::CommandButton, nullptr, "E&xit", 3600, 5520, 1215, 495, 14, {}, {}, {}},
    {"cmdCopy", Kind::CommandButton, nullptr, "Copy", 2400, 5520, 1215, 495, 0, {}, {}, {}},
    {"Label3", Kind::Label, nullptr, "Bytes Copied:", 2280, 5040, 1095, 255, 16, {}, 0x00E0E0E0, {}},
    {"lblInputLoc", Kind::Label, nullptr, "", 3720, 5040, 1455, 255, 15, {}, 0x00000040, {}},
    {"Label1", Kind::Label, nullptr, "File Copied:", 2280, 4440, 1335, 255, 11, {}, 0x00004000, kFrameFont},
    {"lblCopied", Kind::Label, nullptr, "", 3840, 4440, 1935, 255, 10, {}, 0x00008000, Font{9.75, true, false}},
    {"lblBytes", Kind::Label, nullptr, "Source File Size:", 2280, 3840, 3495, 255, 9, {}, 0x000040C0, kFrameFont},
};

constexpr quint32 kWindowBackground = 0x00FF8080;

QFont makeFont(const Font &face)
{
    // "MS Sans Serif" where it exists, else the nearest sans-serif face.
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(face.points);
    font.setBold(face.bold);
    font.setUnderline(face.underline);
    return font;
}

const Font kDefaultFont{8.25, false, false};

int pixels(int twips) { return twips / rt::kTwipsPerPixel; }

void applyColours(QWidget *widget, Kind kind, const ControlRow &row)
{
    QPalette palette = widget->palette();
    auto set = [&palette](std::initializer_list<QPalette::ColorRole> roles, quint32 bgr) {
        for (QPalette::ColorRole role : roles)
            palette.setColor(role, colorFromBgr(bgr));
    };
    if (row.background) {
        switch (kind) {
        case Kind::Frame:
            set({QPalette::Window}, *row.background);
            widget->setAutoFillBackground(true);
            break;
        case Kind::DriveList:
            set({QPalette::Base, QPalette::Button, QPalette::Window}, *row.background);
            break;
        default:
            set({QPalette::Base}, *row.background);
            break;
        }
    }
    if (row.foreground) {
        switch (kind) {
        case Kind::Frame:
        case Kind::Label:
            set({QPalette::WindowText}, *row.foreground);
            break;
        case Kind::DriveList:
            set({QPalette::Text, QPalette::ButtonText, QPalette::WindowText}, *row.foreground);
            break;
        default:
            set({QPalette::Text}, *row.foreground);
            break;
        }
    }
    widget->setPalette(palette);
}

// What a screen reader calls the controls that have no caption of their own.
const std::map<QString, QString> kAccessibleNames = {
    {QStringLiteral("KorDrv"), QStringLiteral("Source drive")},
    {QStringLiteral("KorDir"), QStringLiteral("Source folders")},
    {QStringLiteral("KorFile"), QStringLiteral("Source files")},
    {QStringLiteral("drv2"), QStringLiteral("Destination drive")},
    {QStringLiteral("Dir2"), QStringLiteral("Destination folders")},
    {QStringLiteral("txtDest"), QStringLiteral("Destination file name")},
    {QStringLiteral("KorBar"), QStringLiteral("Copy progress")},
    // The figures have none: a reader finds each as drawn, after its caption
    // ("File Copied: 69.3 MB").
};

QWidget *createControl(Kind kind, QWidget *parent, const rt::StartFolder &start)
{
    switch (kind) {
    case Kind::Frame: return new rt::Frame(parent);
    case Kind::TextBox: return new rt::TextBox(parent);
    case Kind::FolderList: return new rt::FolderList(parent, start);
    case Kind::DriveList: return new rt::DriveList(parent);
    case Kind::Label: return new rt::Label(parent);
    case Kind::FileList: return new rt::FileList(parent, start);
    case Kind::ProgressBar: return new rt::ProgressBar(parent);
    case Kind::CommandButton: return new rt::CommandButton(parent);
    }
    return nullptr;
}

void setCaption(QWidget *widget, Kind kind, const QString &caption)
{
    switch (kind) {
    case Kind::Frame: static_cast<rt::Frame *>(widget)->setTitle(caption); break;
    case Kind::TextBox: static_cast<rt::TextBox *>(widget)->setText(caption); break;
    case Kind::Label: static_cast<rt::Label *>(widget)->setCaption(caption); break;
    case Kind::CommandButton: static_cast<rt::CommandButton *>(widget)->setCaption(caption); break;
    default: break;
    }
}

// The width a control's caption may take: a label's whole box, a frame's
// title between its indent and the frame's right edge, a button's face inside
// its margins.
int captionRoom(QWidget *widget, Kind kind)
{
    const QStyle *style = widget->style();
    switch (kind) {
    case Kind::Label:
        return widget->contentsRect().width();
    case Kind::Frame: {
        auto *box = static_cast<QGroupBox *>(widget);
        QStyleOptionGroupBox option;
        option.initFrom(box);
        option.text = box->title();
        option.textAlignment = box->alignment();
        option.lineWidth = 1;
        option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
        const QRect title = style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
        return box->width() - 2 * std::max(title.left(), 1);
    }
    case Kind::CommandButton:
        return widget->width() - 2 * (style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, widget)
                                      + style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, widget));
    default:
        return -1;
    }
}

} // namespace

int captionWidth(const QFont &font, const QString &caption)
{
    // Without the access key's "&"; one pixel more for a bold face's overhang.
    QString shown = caption;
    static const QRegularExpression accessKey(QStringLiteral("&(?!&)"));
    shown.remove(accessKey);
    return int(std::ceil(QFontMetricsF(font).horizontalAdvance(shown))) + 1;
}

int captionRoomOf(QWidget *widget)
{
    for (const ControlRow &row : kControls)
        if (widget->objectName() == QLatin1String(row.name))
            return captionRoom(widget, row.kind);
    return -1;
}

namespace {

// Fonts differ in width: where the face the desktop gives is wider than the
// window's own, a caption is set a little smaller rather than cut off.
void fitCaption(QWidget *widget, Kind kind, const QString &caption)
{
    const int room = captionRoom(widget, kind);
    if (room < 0 || caption.isEmpty())
        return;
    QFont font = widget->font();
    const qreal designed = font.pointSizeF();
    while (captionWidth(font, caption) > room && font.pointSizeF() > designed * 0.7)
        font.setPointSizeF(font.pointSizeF() - 0.25);
    widget->setFont(font);
}

bool takesFocus(Kind kind)
{
    return kind != Kind::Frame && kind != Kind::Label && kind != Kind::ProgressBar;
}

} // namespace

QColor colorFromBgr(quint32 bgr)
{
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

void dressWindow(QWidget *window)
{
    window->setFont(makeFont(kDefaultFont));
    QPalette palette = window->palette();
    palette.setColor(QPalette::Window, colorFromBgr(kWindowBackground));
    window->setPalette(palette);
    window->setAutoFillBackground(true);
    window->setFixedSize(pixels(kClientWidth), pixels(kClientHeight));
}

void buildControls(QWidget *window, MyFormControls &c)
{
    std::map<QString, QWidget *> byName;
    std::vector<std::pair<int, QWidget *>> stacking;
    // The three lists start on the same folder: it is read once.
    const rt::StartFolder start = rt::readStartFolder();
    for (const ControlRow &row : kControls) {
        QWidget *container = row.container ? byName.at(QString::fromLatin1(row.container)) : window;
        QWidget *widget = createControl(row.kind, container, start);
        widget->setObjectName(QString::fromLatin1(row.name));
        if (const auto name = kAccessibleNames.find(widget->objectName()); name != kAccessibleNames.end())
            widget->setAccessibleName(name->second);
        widget->setGeometry(pixels(row.left), pixels(row.top), pixels(row.width), pixels(row.height));
        widget->setFont(makeFont(row.font.value_or(kDefaultFont)));
        applyColours(widget, row.kind, row);
        // A right press opens a menu over the two lists that have one, and
        // nothing anywhere else.
        widget->setContextMenuPolicy(Qt::NoContextMenu);
        setCaption(widget, row.kind, QString::fromLatin1(row.caption));
        fitCaption(widget, row.kind, QString::fromLatin1(row.caption));
        if (!takesFocus(row.kind))
            widget->setFocusPolicy(Qt::NoFocus);
        stacking.emplace_back(row.tabIndex, widget);
        byName[widget->objectName()] = widget;
    }
    // The controls stack, and a screen reader meets them, in their Tab order:
    // the bar (12) then covers the right ends of the two long labels (9, 10)
    // that reach into its column.
    std::sort(stacking.begin(), stacking.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    QWidget *focusedBefore = nullptr;
    for (const auto &[tabIndex, widget] : stacking) {
        widget->raise();
        if (widget->focusPolicy() == Qt::NoFocus)
            continue;
        if (focusedBefore)
            QWidget::setTabOrder(focusedBefore, widget);
        focusedBefore = widget;
    }

    auto find = [&byName](const char *name, auto *&slot) {
        slot = qobject_cast<std::remove_reference_t<decltype(*slot)> *>(byName.at(QString::fromLatin1(name)));
        if (!slot) // the table and the handlers disagree on a control's kind
            qFatal("control %s is not of the kind the handlers use", name);
    };
    find("Frame1", c.Frame1);
    find("Frame2", c.Frame2);
    find("txtDest", c.txtDest);
    find("Dir2", c.Dir2);
    find("drv2", c.drv2);
    find("Label1", c.Label1);
    find("Label2", c.Label2);
    find("Label3", c.Label3);
    find("KorFile", c.KorFile);
    find("KorDir", c.KorDir);
    find("KorDrv", c.KorDrv);
    find("KorBar", c.KorBar);
    find("cmdExit", c.cmdExit);
    find("cmdCopy", c.cmdCopy);
    find("lblInputLoc", c.lblInputLoc);
    find("lblCopied", c.lblCopied);
    find("lblBytes", c.lblBytes);
    // The figures change with every piece: a screen reader is told them with the bar.
    for (rt::Label *figure : {c.lblCopied, c.lblInputLoc})
        rt::describeWithValue(figure, c.KorBar);
    // A file chosen is heard with its size.
    QObject::connect(c.lblBytes, &rt::Label::captionSet, c.KorFile, &rt::FileList::describeChosen);
    rt::DisplayPacer::instance().flush();
}
