#include "ui/About.h"

#include <QKeyEvent>
#include <QPushButton>
#include <QShowEvent>

#include "ui/WindowLook.h"
#include "ui_About.h"

namespace qf580::ui {

TAboutBox::TAboutBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      ui_(std::make_unique<Ui::TAboutBox>()) {
    LoadUiResources();
    ui_->setupUi(this);
    setFont(FormFont(12));
    PinFonts(*this);
    setFixedSize(size());
    // Centred on the screen the first time; after that it opens where it was left.
    CentreOnFirstShow(*this);
    connect(ui_->OKButton, &QPushButton::clicked, this, &QDialog::accept);
    ui_->OKButton->setFocus();
}

TAboutBox::~TAboutBox() = default;

void TAboutBox::keyPressEvent(QKeyEvent* event) {
    // No cancel button: Esc does not close the box.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TAboutBox::showEvent(QShowEvent* event) {
    // The stored 32 x 32 picture at 100 %; on a scaled screen its copy for that scale, as
    // the toolkit would blur the small one.
    ui_->ProgramIcon->setPixmap(ProgramIcon().pixmap(QSize(32, 32), devicePixelRatioF()));
    ui_->OKButton->setFocus();
    QDialog::showEvent(event);
}

}  // namespace qf580::ui
