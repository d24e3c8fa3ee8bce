#include "runtime/controls/Accessibility.h"

#include "runtime/controls/AccessibleEventPacer.h"
#include "runtime/controls/ProgressBar.h"

#include <QAccessible>
#include <QAccessibleWidget>

namespace rt {

namespace {

// The bar as a screen reader hears it: its name, how far the copy is as its
// value (0 to 100, which only the copy sets) and as its description ("42%").
// Qt's AT-SPI bridge offers Increase and Decrease for any value; here they
// change nothing.
class ProgressBarAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit ProgressBarAccessible(ProgressBar *bar) : QAccessibleWidget(bar, QAccessible::ProgressBar)
    {
        QObject::connect(bar, &ProgressBar::barValueSet, bar, [bar](int value) {
            QAccessibleValueChangeEvent valueChanged(bar, value);
            QAccessible::updateAccessibility(&valueChanged);
            QAccessibleEvent described(bar, QAccessible::DescriptionChanged);
            QAccessible::updateAccessibility(&described);
        });
    }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Description)
            return QStringLiteral("%1%").arg(bar()->barValue());
        return QAccessibleWidget::text(t);
    }

    QVariant currentValue() const override { return bar()->barValue(); }
    void setCurrentValue(const QVariant &) override {} // read-only: the copy sets it
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 0; }

private:
    const ProgressBar *bar() const { return static_cast<const ProgressBar *>(widget()); }
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
    paceAccessibleEvents();
}

} // namespace rt
