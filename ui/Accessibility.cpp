#include "ui/Accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QLabel>

namespace qf580::ui {

namespace {

QString ReaderText(const QString& labelText) {
    QString text = labelText;
    text.remove(QLatin1Char('&'));
    while (!text.isEmpty() && (text.back() == QLatin1Char(':') || text.back().isSpace())) {
        text.chop(1);
    }
    return text;
}

class NotificationInterface : public QAccessibleWidget {
  public:
    explicit NotificationInterface(Announcer& announcer)
        : QAccessibleWidget(&announcer, QAccessible::Notification), announcer_(announcer) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name || t == QAccessible::Description) {
            return announcer_.Text();
        }
        return QAccessibleWidget::text(t);
    }

  private:
    Announcer& announcer_;
};

QAccessibleInterface* NotificationFactory(const QString& className, QObject* object) {
    if (className == QLatin1String(Announcer::staticMetaObject.className())) {
        if (auto* announcer = qobject_cast<Announcer*>(object)) {
            return new NotificationInterface(*announcer);  // owned by QAccessible's cache
        }
    }
    return nullptr;
}

}  // namespace

void NameAfterLabel(QLabel& label, QWidget& field) {
    label.setBuddy(&field);
    field.setAccessibleName(ReaderText(label.text()));
}

Announcer::Announcer(QWidget* parent) : QWidget(parent) {
    static const bool installed = [] {
        QAccessible::installFactory(NotificationFactory);
        return true;
    }();
    (void)installed;
    setObjectName(QStringLiteral("Announcer"));
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setGeometry(0, 0, 0, 0);
    hide();
}

void Announcer::Announce(const QString& text) {
    text_ = text;
    // Readers speak a notification as it appears, not when its text changes.
    hide();
    show();
}

}  // namespace qf580::ui
