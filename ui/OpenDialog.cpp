#include "ui/OpenDialog.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGuiApplication>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QLocale>
#include <QTimer>
#include <QTreeView>
#include <algorithm>

#include "ui/WindowLook.h"

namespace qf580::ui {

namespace {

// The dialog's size, type and date columns in the toolkit's texts for the program's locale
// (the model itself takes the desktop's for size and date, and has no translation for the
// folders' type).
class OpenDialogTexts : public QIdentityProxyModel {
  public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex& index, int role) const override {
        const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
        if (role != Qt::DisplayRole || !files || !index.isValid()) {
            return QIdentityProxyModel::data(index, role);
        }
        const QModelIndex source = mapToSource(index);
        const QLocale locale;
        switch (index.column()) {
            case 1:
                if (!files->isDir(source)) {
                    return locale.formattedDataSize(files->size(source));
                }
                break;
            case 2:
                if (files->isDir(source)) {
                    return QCoreApplication::translate("QFileDialog", "Folder");
                }
                break;
            case 3:
                if (const QDateTime modified = files->lastModified(source); modified.isValid()) {
                    return locale.toString(modified, QLocale::ShortFormat);
                }
                break;
            default:
                break;
        }
        return QIdentityProxyModel::data(index, role);
    }
};

// Fits the size, type and date columns to what they show and gives the name the rest,
// whenever the list changes (a folder read, another filter), until the operator drags a
// column's edge himself.
class ColumnFit : public QObject {
  public:
    ColumnFit(QFileDialog& dialog, QTreeView& view, QFileSystemModel& files)
        : QObject(&dialog), dialog_(dialog), view_(view) {
        // Rows come in bursts while a folder is read: one fit after each burst.
        refit_.setSingleShot(true);
        refit_.setInterval(0);
        connect(&refit_, &QTimer::timeout, this, [this] { Fit(); });
        const auto later = [this] { refit_.start(); };
        connect(&files, &QFileSystemModel::directoryLoaded, this, later);
        connect(view.model(), &QAbstractItemModel::rowsInserted, this, later);
        connect(view.model(), &QAbstractItemModel::rowsRemoved, this, later);
        connect(view.model(), &QAbstractItemModel::layoutChanged, this, later);
        connect(&dialog, &QFileDialog::filterSelected, this, later);
        connect(view.header(), &QHeaderView::sectionResized, this, [this] {
            if (!fitting_ && QGuiApplication::mouseButtons() != Qt::NoButton) {
                operatorSized_ = true;
            }
        });
        dialog.installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &dialog_ && event->type() == QEvent::Show) {
            Fit();
        }
        return false;
    }

  private:
    void Fit() {
        if (operatorSized_ || !dialog_.isVisible()) {
            return;
        }
        fitting_ = true;
        QHeaderView* header = view_.header();
        view_.doItemsLayout();
        int others = 0;
        for (int column = 1; column < header->count(); ++column) {
            if (!header->isSectionHidden(column)) {
                const int width = std::max(
                    header->sectionSizeHint(column),
                    static_cast<const QAbstractItemView&>(view_).sizeHintForColumn(column));
                header->resizeSection(column, width);
                others += width;
            }
        }
        const int least = view_.fontMetrics().averageCharWidth() * 16;
        header->resizeSection(0, std::max(least, view_.viewport()->width() - others));
        fitting_ = false;
    }

    QFileDialog& dialog_;
    QTreeView& view_;
    QTimer refit_;
    bool fitting_ = false;
    bool operatorSized_ = false;
};

QFileSystemModel* FilesOf(const QFileDialog& dialog) {
    return dialog.proxyModel() ? qobject_cast<QFileSystemModel*>(dialog.proxyModel()->sourceModel())
                               : nullptr;
}

// Qt's "*.*" needs a dot in the name, but update files may have none and an operator picking
// "All Files (*.*)" means every file. The entry keeps its text, the list shows every file.
void ListEveryFileForStarDotStar(const QFileDialog& dialog) {
    if (QFileSystemModel* files = FilesOf(dialog);
        files && files->nameFilters() == QStringList{QStringLiteral("*.*")}) {
        files->setNameFilters({QStringLiteral("*")});
    }
}

void HideCompletions(const QFileDialog& dialog) {
    for (const QCompleter* completer : dialog.findChildren<QCompleter*>()) {
        if (QAbstractItemView* popup = completer->popup(); popup && popup->isVisible()) {
            popup->hide();
        }
    }
}

}  // namespace

QFileDialog* MakeOpenDialog(QWidget* parent, const QStringList& nameFilters) {
    auto* dialog = new QFileDialog(parent);  // owned by parent
    // The toolkit's own dialog, also where a desktop offers one of its own: what follows
    // adjusts that one.
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setProxyModel(new OpenDialogTexts(dialog));
    dialog->setNameFilters(nameFilters);
    ListEveryFileForStarDotStar(*dialog);
    QObject::connect(dialog, &QFileDialog::filterSelected, dialog,
                     [dialog] { ListEveryFileForStarDotStar(*dialog); });
    if (auto* view = dialog->findChild<QTreeView*>(); view && FilesOf(*dialog)) {
        new ColumnFit(*dialog, *view, *FilesOf(*dialog));  // owned by the dialog
    }
    return dialog;
}

std::optional<QString> ShowOpenDialog(QFileDialog& dialog) {
    const bool accepted = dialog.exec() == QDialog::Accepted;
    // A name typed and taken with Enter leaves the name field's completions open over the
    // window below, holding the keyboard until the next click.
    HideCompletions(dialog);
    ReturnFocusToOwner(dialog);
    if (accepted && !dialog.selectedFiles().isEmpty()) {
        return dialog.selectedFiles().constFirst();
    }
    return std::nullopt;
}

void StartNextShowingAt(QFileDialog& dialog, const QString& path) {
    // A typed name leaves the dialog where it was; a folder that doesn't exist is not gone to.
    if (const QFileInfo chosen(path); chosen.absoluteDir().exists()) {
        dialog.selectFile(chosen.absoluteFilePath());
    }
}

}  // namespace qf580::ui
