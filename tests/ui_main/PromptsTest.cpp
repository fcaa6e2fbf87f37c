// The boxes as the operator meets them: shown for real (no stand-in answers), then
// measured.
#include <QAbstractItemView>
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

#include "ErrorBox.h"
#include "Startup.h"
#include "UiSupport.h"
#include "WindowLook.h"

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
