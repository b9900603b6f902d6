#include "app/AccessibleLabels.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QLabel>
#include <QVariant>

namespace {

// Dynamic properties of the marked labels: what kind of label it is, and for a count
// its number and bound.
constexpr const char *kKindProperty = "brenuAccessibleKind";
constexpr const char *kCountProperty = "brenuCount";
constexpr const char *kMaximumProperty = "brenuCountMaximum";
enum Kind { Value = 1, Count, Separator };

class ValueLabelAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit ValueLabelAccessible(QLabel *label) : QAccessibleWidget(label, QAccessible::StaticText) {}

    QString text(QAccessible::Text t) const override
    {
        const QLabel *shown = Label();
        switch (t) {
        case QAccessible::Name: return shown->accessibleName().isEmpty() ? shown->text() : shown->accessibleName();
        case QAccessible::Value: return shown->text();
        default: return QAccessibleWidget::text(t);
        }
    }
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface && Label()->property(kKindProperty).toInt() == Count)
            return static_cast<QAccessibleValueInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QVariant currentValue() const override { return Label()->property(kCountProperty); }
    void setCurrentValue(const QVariant &) override {} // shown, not set
    QVariant maximumValue() const override { return Label()->property(kMaximumProperty); }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    QLabel *Label() const { return static_cast<QLabel *>(widget()); }
};

QAccessibleInterface *LabelFactory(const QString &className, QObject *object)
{
    if (className != QLatin1String("QLabel") || !object || !object->isWidgetType())
        return nullptr;
    auto *label = static_cast<QLabel *>(object);
    switch (object->property(kKindProperty).toInt()) {
    case Value:
    case Count: return new ValueLabelAccessible(label);
    case Separator: return new QAccessibleWidget(label, QAccessible::Separator);
    default: return nullptr;
    }
}

void Mark(QLabel *label, Kind kind)
{
    InstallAccessibleLabels();
    label->setProperty(kKindProperty, int(kind));
    // Qt may already have made the label its plain interface (a text set in the form
    // announces itself); it is dropped so that the next query makes the marked one.
    if (QAccessibleInterface *made = QAccessible::queryAccessibleInterface(label))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
}

} // namespace

void InstallAccessibleLabels()
{
    static const bool installed = [] {
        QAccessible::installFactory(LabelFactory);
        return true;
    }();
    (void)installed;
}

void ShowsValue(QLabel *label, const QString &name)
{
    Mark(label, Value);
    label->setAccessibleName(name);
}

void ShowsCount(QLabel *label, const QString &name, int maximum)
{
    label->setProperty(kCountProperty, 0);
    label->setProperty(kMaximumProperty, maximum);
    Mark(label, Count);
    label->setAccessibleName(name);
}

void SetShownCount(QLabel *label, int count)
{
    if (label->property(kCountProperty).toInt() == count)
        return;
    label->setProperty(kCountProperty, count);
    if (QAccessible::isActive()) {
        QAccessibleValueChangeEvent event(label, count);
        QAccessible::updateAccessibility(&event);
    }
}

void IsSeparator(QLabel *label)
{
    Mark(label, Separator);
}
