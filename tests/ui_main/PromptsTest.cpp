// The boxes and the file-open dialog as the operator meets them: shown for real (no
// stand-in answers), driven by keys and clicks as the operator would, then measured.
#include <QAbstractItemView>
#include <QAbstractProxyModel>
#include <QComboBox>
#include <QCompleter>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QFontInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QPushButton>
#include <QStyle>
#include <QToolTip>
#include <QTranslator>
#include <QTreeView>
#include <QWindow>

#include "tests/ui_main/UiSupport.h"
#include "ui/ErrorBox.h"
#include "ui/Startup.h"
#include "ui/WindowLook.h"

namespace qf580::test {
namespace {

using ui::TSDIAppForm;

// Runs `step` on the modal window that the code under test is about to show, from inside
// its own loop; whatever goes wrong, that loop is ended within a few seconds.
class WhileModal {
  public:
    explicit WhileModal(std::function<void(QWidget&)> step) : step_(std::move(step)) {
        QTimer::singleShot(0, [this] { Poll(); });
        watchdog_.setSingleShot(true);
        QObject::connect(&watchdog_, &QTimer::timeout, [] {
            if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                ADD_FAILURE() << "modal window left open";
                modal->reject();
            }
        });
        watchdog_.start(8000);
    }
    bool ran() const { return ran_; }

  private:
    void Poll() {
        QWidget* modal = QApplication::activeModalWidget();
        for (QWidget* window : QApplication::topLevelWidgets()) {  // the question isn't modal
            modal = modal ? modal
                          : (qobject_cast<QMessageBox*>(window) && window->isVisible() ? window
                                                                                       : nullptr);
        }
        if (!modal || !modal->isVisible()) {
            QTimer::singleShot(10, [this] { Poll(); });
            return;
        }
        ran_ = true;
        // Keys go to the active window, as on the screen. (The offscreen platform does not
        // always activate a window that is shown.)
        modal->activateWindow();
        EXPECT_TRUE(
            WaitUntil([&] { return QGuiApplication::focusWindow() == modal->windowHandle(); }));
        step_(*modal);
    }

    std::function<void(QWidget&)> step_;
    QTimer watchdog_;
    bool ran_ = false;
};

// Keys as the operator types them: through the window, so an open completion list gets
// them first, as it does on the screen.
void Type(QWidget& window, const QString& text) {
    for (const QChar c : text) {
        QTest::keyClick(window.windowHandle(), c.toLatin1());
    }
}

QAbstractItemView* VisibleCompletions(const QFileDialog& dialog) {
    for (const QCompleter* completer : dialog.findChildren<QCompleter*>()) {
        if (QAbstractItemView* popup = completer->popup(); popup && popup->isVisible()) {
            return popup;
        }
    }
    return nullptr;
}

class OpenDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Records are binary, so the set's type differs from the text file's below.
        dir.Write("FW0000.q58", std::string("QF580 MAIN ROM\r\n\x01\x00\x7f\x80\xff\r\n", 23));
        dir.Write("UPDATE", "QF580 SUB ROM\r\n");
        dir.Write("sub/FW0001.q58", "QF580 IRIG ROM\r\nb\r\nc\r\nd\r\n");
        ShowActive(form);
        dialog = Find<QFileDialog>(form, "OpenDialog");
        dialog->setDirectory(QString::fromStdString(dir.path()));
    }

    // The names the dialog lists in its folder, in the list the operator sees.
    QStringList Listed() {
        auto* view = dialog->findChild<QTreeView*>();
        QStringList names;
        if (!view || !view->model()) {
            return names;
        }
        const QModelIndex root = view->rootIndex();
        for (int row = 0; row < view->model()->rowCount(root); ++row) {
            names << view->model()->index(row, 0, root).data().toString();
        }
        names.sort();
        return names;
    }

    // The texts of the size, type and date columns that do not fit their column, and
    // whether the columns together overrun the list's width.
    QStringList CutTexts() {
        auto* view = dialog->findChild<QTreeView*>();
        QStringList cut;
        if (!view || !view->model()) {
            return {"no list"};
        }
        // A cell's text keeps a focus margin on either side.
        const int margins = 2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1);
        const QModelIndex root = view->rootIndex();
        for (int row = 0; row < view->model()->rowCount(root); ++row) {
            for (int column = 1; column < 4; ++column) {
                const QString text = view->model()->index(row, column, root).data().toString();
                if (view->fontMetrics().horizontalAdvance(text) + margins >
                    view->header()->sectionSize(column)) {
                    cut << text;
                }
            }
        }
        if (view->header()->length() > view->viewport()->width()) {
            cut << "(wider than the list)";
        }
        return cut;
    }

    TempDir dir;
    TSDIAppForm form;
    QFileDialog* dialog = nullptr;
};

TEST_F(OpenDialogTest, TypedNameLeavesNoListBehindAndGivesTheKeyboardBack) {
    bool listWasOpen = false;
    WhileModal typing([&](QWidget& modal) {
        Type(modal, "sub/FW0");
        // The folder is read in the background; on a busy machine the list comes only with
        // the next key once it has been read, as it would for the operator.
        auto* files = qobject_cast<QFileSystemModel*>(dialog->proxyModel()->sourceModel());
        ASSERT_NE(files, nullptr);
        const QModelIndex sub = files->index(QString::fromStdString(dir.path() + "/sub"));
        for (int tries = 0; tries < 3 && !listWasOpen; ++tries) {
            WaitUntil([&] { return files->rowCount(sub) > 0; }, 3000);
            QTest::keyClick(modal.windowHandle(), Qt::Key_Backspace);
            Type(modal, "0");
            listWasOpen = WaitUntil([&] { return VisibleCompletions(*dialog) != nullptr; }, 1000);
        }
        Type(modal, "001.q58");
        QTest::keyClick(modal.windowHandle(), Qt::Key_Return);
    });
    form.OpenItemClick();
    ASSERT_TRUE(typing.ran());
    EXPECT_TRUE(listWasOpen) << "the name field offered no completions to leave behind";
    EXPECT_EQ(form.UpdateFileName(), "FW0001.q58");
    QApplication::processEvents();
    EXPECT_EQ(VisibleCompletions(*dialog), nullptr);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_TRUE(WaitUntil([&] { return QApplication::activeWindow() == &form; }, 2000));
    // The keyboard works in the window again: Ctrl+O opens the dialog at once.
    WhileModal cancel([](QWidget& modal) { static_cast<QDialog&>(modal).reject(); });
    QTest::keyClick(form.windowHandle(), Qt::Key_O, Qt::ControlModifier);
    EXPECT_TRUE(cancel.ran());
}

TEST_F(OpenDialogTest, NextShowingStartsFromTheTypedFilesFolderAndName) {
    WhileModal typing([&](QWidget& modal) {
        Type(modal, "sub/FW0001.q58");
        QTest::keyClick(modal.windowHandle(), Qt::Key_Return);
    });
    form.OpenItemClick();
    ASSERT_EQ(form.UpdateFileName(), "FW0001.q58");

    QString shownFolder;
    QString shownName;
    WhileModal look([&](QWidget& modal) {
        shownFolder = dialog->directory().absolutePath();
        if (auto* name = qobject_cast<QLineEdit*>(modal.focusWidget())) {
            shownName = name->text();
        }
        static_cast<QDialog&>(modal).reject();
    });
    form.OpenItemClick();
    ASSERT_TRUE(look.ran());
    EXPECT_EQ(shownFolder, QString::fromStdString(dir.path() + "/sub"));
    EXPECT_EQ(shownName, "FW0001.q58");
    // Cancelled: the file chosen before stays chosen.
    EXPECT_EQ(form.UpdateFileDir(), dir.path() + "/sub/");
}

TEST_F(OpenDialogTest, AllFilesListsNamesWithoutADotAndKeepsItsText) {
    QComboBox* types = nullptr;
    for (QComboBox* combo : dialog->findChildren<QComboBox*>()) {
        if (combo->count() == 2 && combo->itemText(1) == "All Files (*.*)") {
            types = combo;
        }
    }
    ASSERT_NE(types, nullptr);
    QStringList first;
    QStringList all;
    QString allText;
    WhileModal choose([&](QWidget& modal) {
        WaitUntil([&] { return Listed().contains("FW0000.q58"); }, 3000);
        first = Listed();
        // As the operator picks it: the list of types, one down, Enter.
        types->setFocus();
        QTest::keyClick(types, Qt::Key_Down);
        WaitUntil([&] { return Listed().contains("UPDATE"); }, 3000);
        all = Listed();
        allText = dialog->selectedNameFilter();
        QApplication::processEvents();
        EXPECT_EQ(CutTexts(), QStringList()) << "after the filter changed";
        static_cast<QDialog&>(modal).reject();
    });
    form.OpenItemClick();
    ASSERT_TRUE(choose.ran());
    EXPECT_EQ(first, QStringList({"FW0000.q58", "sub"}));
    EXPECT_EQ(all, QStringList({"FW0000.q58", "UPDATE", "sub"}));
    EXPECT_EQ(allText, "All Files (*.*)");
    EXPECT_EQ(dialog->nameFilters(),
              QStringList({"QF580 Update Files (*.q58)", "All Files (*.*)"}));

    // A dotless name chosen from that list opens like any other.
    WhileModal pick([&](QWidget& modal) {
        Type(modal, "UPDATE");
        QTest::keyClick(modal.windowHandle(), Qt::Key_Return);
    });
    form.OpenItemClick();
    EXPECT_EQ(form.UpdateFileName(), "UPDATE");
    EXPECT_EQ(MemoLines(form).value(0), "QF580 SUB ROM");
}

// With the program's Japanese texts, as start-up sets them.
class JapaneseTexts {
  public:
    JapaneseTexts() : before_(QLocale()) { ui::SetUpApplication(*qApp, qtTexts_); }
    JapaneseTexts(const JapaneseTexts&) = delete;
    JapaneseTexts& operator=(const JapaneseTexts&) = delete;
    ~JapaneseTexts() {
        QApplication::removeTranslator(&qtTexts_);
        QLocale::setDefault(before_);
    }

  private:
    QLocale before_;
    QTranslator qtTexts_;
};

TEST_F(OpenDialogTest, ColumnsShowTheirWholeTextsInJapaneseAtTheDefaultSize) {
    JapaneseTexts japanese;
    const QLocale ja(QLocale::Japanese, QLocale::Japan);
    const QFileInfo file(QString::fromStdString(dir.path() + "/FW0000.q58"));
    auto* view = dialog->findChild<QTreeView*>();
    ASSERT_NE(view, nullptr);
    auto row = [&](const QString& name) {
        QStringList texts;
        const QModelIndex root = view->rootIndex();
        for (int r = 0; r < view->model()->rowCount(root); ++r) {
            if (view->model()->index(r, 0, root).data().toString() == name) {
                for (int column = 0; column < 4; ++column) {
                    texts << view->model()->index(r, column, root).data().toString();
                }
            }
        }
        return texts;
    };
    QStringList fileRow;
    QStringList folderRow;
    QStringList cut;
    WhileModal look([&](QWidget& modal) {
        EXPECT_TRUE(WaitUntil([&] { return Listed().contains("FW0000.q58"); }, 3000));
        QApplication::processEvents();
        fileRow = row("FW0000.q58");
        folderRow = row("sub");
        cut = CutTexts();
        static_cast<QDialog&>(modal).reject();
    });
    form.OpenItemClick();
    ASSERT_TRUE(look.ran());
    ASSERT_EQ(fileRow.size(), 4);
    ASSERT_EQ(folderRow.size(), 4);
    EXPECT_EQ(fileRow[1], QStringLiteral("%1 バイト").arg(file.size()));
    EXPECT_EQ(fileRow[2], QMimeDatabase().mimeTypeForFile(file).comment());
    EXPECT_EQ(fileRow[3], ja.toString(file.lastModified(), QLocale::ShortFormat));
    EXPECT_EQ(folderRow[1], "");
    EXPECT_EQ(folderRow[2], "フォルダ");
    // Every text fits its column, and the columns fit the list: nothing is cut or hidden
    // behind a scroll bar.
    EXPECT_EQ(cut, QStringList());
}

TEST(ToolkitTextsTest, TooltipsUseTheWindowsFont) {
    JapaneseTexts japanese;
    EXPECT_EQ(QFontInfo(QToolTip::font()).pixelSize(), 11);
    EXPECT_EQ(QToolTip::font().family(), ui::FormFont(11).family());
}

// The three boxes the operator can meet, shown for real.
TEST(MessageBoxTest, WindowsFontOneButtonSizeAndRoomForTheCaption) {
    TSDIAppForm form;
    ShowActive(form);
    struct Case {
        const char* name;
        std::function<void()> show;
        const char* caption;
        QStringList buttons;
        QMessageBox::Icon icon;
    };
    const Case cases[] = {
        {"disk question",
         [&] {
             ui::Prompts::InformationOkCancel(&form, QStringLiteral("情報"),
                                              QStringLiteral("Insert Disk 2"));
         },
         "情報",
         {"OK", "キャンセル"},
         QMessageBox::Information},
        {"cannot open",
         [&] {
             ui::Prompts::Error(&form, QStringLiteral("エラー"),
                                QStringLiteral("Cannot open file"));
         },
         "エラー",
         {"OK"},
         QMessageBox::Critical},
        {"application error",
         [] { ui::ShowApplicationError(QStringLiteral("'80x23' は整数ではありません")); },
         "KV6200 Flash ROM rewriteing tool",
         {"OK"},
         QMessageBox::Critical},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QStringList texts;
        std::vector<QSize> sizes;
        std::vector<QSize> hints;
        QFont font;
        int width = 0;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QString caption;
        WhileModal measure([&](QWidget& modal) {
            auto* box = qobject_cast<QMessageBox*>(&modal);
            ASSERT_NE(box, nullptr);
            for (QAbstractButton* button : box->buttons()) {
                texts << button->text();
                sizes.push_back(button->size());
                hints.push_back(button->sizeHint());
            }
            font = box->font();
            width = box->width();
            icon = box->icon();
            caption = box->windowTitle();
            box->buttons().constFirst()->click();
        });
        c.show();
        ASSERT_TRUE(measure.ran());
        EXPECT_EQ(caption, QString::fromUtf8(c.caption));
        EXPECT_EQ(icon, c.icon);
        EXPECT_EQ(texts, c.buttons);
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            EXPECT_EQ(sizes[i], sizes.front()) << "buttons of different sizes";
            EXPECT_EQ(sizes[i], sizes[i].expandedTo(hints[i])) << "a caption does not fit";
        }
        EXPECT_EQ(QFontInfo(font).pixelSize(), 11);
        EXPECT_EQ(font.family(), ui::FormFont(11).family());
        // Room for the caption as a title bar draws it, bold, beside its icon and buttons.
        QFont title = QApplication::font("QMdiSubWindowTitleBar");
        title.setBold(true);
        const int bar = form.style()->pixelMetric(QStyle::PM_TitleBarHeight);
        EXPECT_GE(width, QFontMetrics(title).horizontalAdvance(caption) + 3 * bar);
    }
}

}  // namespace
}  // namespace qf580::test
