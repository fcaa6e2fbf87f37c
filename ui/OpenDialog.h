// The file-open dialog of the main window: the toolkit's own dialog, made to list and show
// files as the filter texts and the program's locale say. Prompts::OpenFile shows it.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

class QFileDialog;
class QWidget;

namespace qf580::ui {

// A file-open dialog owned by `parent`, for one window's whole life: `nameFilters` in their
// order with the first preselected, the platform's own title, any name accepted (the file
// need not exist). A pattern "*.*" lists every file, also those without a dot: "All Files"
// means all of them.
QFileDialog* MakeOpenDialog(QWidget* parent, const QStringList& nameFilters);

// Shows `dialog` modally; the chosen path, or nullopt when cancelled.
std::optional<QString> ShowOpenDialog(QFileDialog& dialog);

// The next showing of `dialog` starts from `path`'s folder and name, where that folder exists.
void StartNextShowingAt(QFileDialog& dialog, const QString& path);

}  // namespace qf580::ui
