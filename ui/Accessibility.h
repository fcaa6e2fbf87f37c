// What a screen reader needs of the windows beyond what they show: names for controls whose
// label stands beside them or whose only text is a hint, and a way to speak a text that
// appears where the reader's focus is not.
#pragma once

#include <QString>
#include <QWidget>

class QLabel;

namespace qf580::ui {

// Names `field` after `label` as a reader would say it (the label's text without its colon)
// and ties the two, so that the label is announced with the field it labels.
void NameAfterLabel(QLabel& label, QWidget& field);

// Speaks a text without moving the focus and without a visible change. Readers don't speak
// the name changes of labels, so the status line alone goes unheard; a notification that
// appears is spoken, wherever the focus is. Takes no room and paints nothing.
class Announcer : public QWidget {
    Q_OBJECT

  public:
    explicit Announcer(QWidget* parent);

    // Shows the notification again with `text`, so that the same text twice is said twice.
    void Announce(const QString& text);
    QString Text() const { return text_; }

  private:
    QString text_;
};

}  // namespace qf580::ui
