#include "runtime/controls/Accessibility.h"

#include "runtime/controls/ProgressBar.h"

#include <QAccessible>
#include <QAccessibleWidget>

namespace rt {

namespace {

// The bar as a screen reader hears it: its name, and how far the copy is as
// its description ("42%"). Qt's own progress bar offers a value interface, for
// which the AT-SPI bridge adds Increase and Decrease actions that a progress
// bar has no use for; without it, the value is carried in the description.
class ProgressBarAccessible : public QAccessibleWidget {
public:
    explicit ProgressBarAccessible(ProgressBar *bar) : QAccessibleWidget(bar, QAccessible::ProgressBar)
    {
        QObject::connect(bar, &ProgressBar::barValueSet, bar, [bar] {
            QAccessibleEvent changed(bar, QAccessible::DescriptionChanged);
            QAccessible::updateAccessibility(&changed);
        });
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Description)
            return QStringLiteral("%1%").arg(static_cast<const ProgressBar *>(widget())->barValue());
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface *accessibleFor(const QString &className, QObject *object)
{
    if (className == QLatin1String(ProgressBar::staticMetaObject.className()) && object->isWidgetType())
        return new ProgressBarAccessible(static_cast<ProgressBar *>(object));
    return nullptr;
}

} // namespace

void installAccessibility()
{
    static const bool installed = (QAccessible::installFactory(accessibleFor), true);
    Q_UNUSED(installed);
}

} // namespace rt
