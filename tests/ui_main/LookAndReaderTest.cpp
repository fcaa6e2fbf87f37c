// What the windows give a screen reader, and how they look through a change of the desktop's
// scheme, font or style and on scaled screens.
#include <QAccessible>
#include <QStyle>
#include <QStyleFactory>
#include <QToolTip>
#include <algorithm>
#include <set>

#include "tests/ui_main/UiSupport.h"
#include "ui/About.h"
#include "ui/Accessibility.h"
#include "ui/Transsetup.h"
#include "ui/WindowLook.h"

namespace qf580::test {
namespace {

QAccessibleInterface* Reader(QWidget* widget) {
    return QAccessible::queryAccessibleInterface(widget);
}

QString ReaderName(QWidget* widget) {
    return Reader(widget)->text(QAccessible::Name);
}

std::set<QRgb> Colours(const QImage& image) {
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    std::set<QRgb> colours;
    for (int y = 0; y < argb.height(); ++y) {
        for (int x = 0; x < argb.width(); ++x) {
            colours.insert(argb.pixel(x, y));
        }
    }
    return colours;
}

// Counts a widget's appearances. Each is where Qt tells readers that it appeared (ObjectShow);
// the event itself is never delivered here: the offscreen platform has no accessibility of its
// own, so QAccessible is never active and drops every update before any handler sees it.
class Appearances : public QObject {
  public:
    explicit Appearances(QWidget& widget) { widget.installEventFilter(this); }
    int Count() const { return count_; }

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        count_ += event->type() == QEvent::Show ? 1 : 0;
        return false;
    }

  private:
    int count_ = 0;
};

class LookAndReaderTest : public ::testing::Test {
  protected:
    void SetUp() override { form.show(); }
    QWidget* W(const char* name) { return Find(form, name); }

    Operator who;
    TempDir dir;
    ui::TSDIAppForm form;
};

TEST_F(LookAndReaderTest, FieldsAndPictureButtonsHaveTheNamesTheirLabelsAndHintsGive) {
    ui::TFM_TransSetup setup(&form);
    struct Row {
        QWidget* root;
        const char* name;
        const char* readerName;
        const char* label;  // the label tied to it, if any
    };
    const Row rows[] = {
        {&form, "FnameEdit", "Update File Name", "FnameLabel"},
        {&form, "OpenBtn", "Open", nullptr},
        {&form, "SetupButton", "Communication settings", nullptr},
        {&form, "ExitBtn", "Exit", nullptr},
        {&setup, "ED_IP_ADR", "IP Address", "LBL_IP_ADR"},
        {&setup, "ED_PORT", "Port number", "LBL_PORT"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QWidget* widget = Find(*row.root, row.name);
        EXPECT_EQ(ReaderName(widget), QString::fromLatin1(row.readerName));
        if (row.label) {
            QAccessibleInterface* label = Reader(Find(*row.root, row.label));
            bool tied = false;
            for (const auto& [other, relation] : Reader(widget)->relations(QAccessible::Label)) {
                tied = tied || other == label;
            }
            EXPECT_TRUE(tied);
        }
    }
    // Named, though nothing names them on the screen: the panel that has the focus at start,
    // the bar and the preview, whose bytes may not be text at all.
    for (const char* name : {"SpeedPanel", "ProgressBar", "HeaderMemo"}) {
        EXPECT_FALSE(ReaderName(W(name)).isEmpty()) << name;
    }
    EXPECT_FALSE(Reader(W("HeaderMemo"))->text(QAccessible::Description).isEmpty());
}

TEST_F(LookAndReaderTest, EveryOutcomeAppearsAsANotificationWithoutFocusOrPixels) {
    // With Start enabled already, the end notice changes nothing on the screen.
    who.files.push_back(QString::fromStdString(dir.Write("FW0000.q58", "a\r\n")));
    form.OpenItemClick();
    ShowActive(form);
    W("SpeedPanel")->setFocus();
    QWidget* const focus = QApplication::focusWidget();
    auto* notice = form.findChild<ui::Announcer*>();
    ASSERT_NE(notice, nullptr);
    ASSERT_EQ(Reader(notice)->role(), QAccessible::Notification);
    const Appearances appearances(*notice);
    const QStringList outcomes = {"Transfer completed", "Aborted according to instruction received",
                                  "Transfer completed"};
    for (const QString& text : outcomes) {
        // A record's text at a time, as fast as the worker sends them: the status line keeps
        // a name of its own, so it does not tell readers of each (a reader flooded with them
        // drops the notification), and its name follows at a pace.
        for (int i = 1; i <= 200; ++i) {
            emit form.Session().StatusChanged(QStringLiteral("Sending (%1) Record").arg(i));
            ASSERT_FALSE(W("StatusLabel")->accessibleName().isEmpty());
        }
        EXPECT_NE(ReaderName(W("StatusLabel")), "Sending (200) Record");
        emit form.Session().StatusChanged(text);
        QApplication::processEvents();
        const QImage before = form.grab().toImage();
        // Readers speak a notification as it appears: every outcome makes it appear anew,
        // the same one twice too, though it is still showing from the last.
        const int appeared = appearances.Count();
        emit form.Session().Ended(Outcome::Completed);
        EXPECT_EQ(appearances.Count(), appeared + 1);
        EXPECT_EQ(form.grab().toImage(), before) << text.toStdString();
        EXPECT_EQ(ReaderName(W("StatusLabel")), text);
        EXPECT_TRUE(notice->isVisible());
        EXPECT_EQ(ReaderName(notice), text);
        EXPECT_TRUE(notice->size().isEmpty());
    }
    EXPECT_EQ(QApplication::focusWidget(), focus);
}

TEST(DialogFrames, CloseAndMoveOnly) {
    ui::TFM_TransSetup setup;
    ui::TAboutBox about;
    const Qt::WindowFlags asked = Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                                  Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint;
    for (QWidget* dialog : std::initializer_list<QWidget*>{&setup, &about}) {
        EXPECT_EQ(dialog->windowFlags() & asked, Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
        EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());
    }
}

// The desktop's scheme, font and style changed while the window is open, then put back.
TEST_F(LookAndReaderTest, ASchemeFontOrStyleChangeBendsNothingAndGoingBackRestoresEveryPixel) {
    who.files.push_back(QString::fromStdString(dir.Write("FW0000.q58", "a\r\n")));
    form.OpenItemClick();
    QApplication::processEvents();
    QToolTip::setFont(ui::FormFont(11));  // as at start-up
    const QImage before = form.grab().toImage();
    const QPalette lightPalette = QApplication::palette();
    const QFont desktopFont = QApplication::font();
    const QString styleName = QApplication::style()->name();

    QPalette dark(QColor(0xee, 0xee, 0xee), QColor(0x30, 0x30, 0x30));  // text, window
    const QFont formFont = ui::FormFont(11);
    struct Change {
        const char* what;
        std::function<void()> apply;
    };
    const Change changes[] = {
        {"scheme", [&] { QApplication::setPalette(dark); }},
        {"font", [&] { QApplication::setFont(QFont(QStringLiteral("DejaVu Serif"), 15)); }},
        {"style",
         [&] { QApplication::setStyle(QStyleFactory::create(QStringLiteral("Windows"))); }},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.what);
        change.apply();
        QApplication::processEvents();
        for (const char* name : {"FnameLabel", "LB_TransSetup", "GroupBox2", "StatusLabel",
                                 "GroupBox3", "HeaderMemo", "StartBttn"}) {
            EXPECT_EQ(W(name)->font().family(), formFont.family()) << name;
            EXPECT_EQ(W(name)->font().pixelSize(), 11) << name;
        }
        EXPECT_EQ(QToolTip::font().pixelSize(), 11);
        // The group stays disabled, its caption and the status line in the enabled colour.
        for (const char* name : {"GroupBox2", "StatusLabel"}) {
            const QPalette& palette = W(name)->palette();
            EXPECT_EQ(palette.color(QPalette::Disabled, QPalette::WindowText),
                      QApplication::palette(W(name)).color(QPalette::Active, QPalette::WindowText))
                << name;
        }
    }
    QApplication::setStyle(styleName);
    QApplication::setFont(desktopFont);
    QApplication::setPalette(lightPalette);
    // The changes queue further work of their own.
    for (int i = 0; i < 3; ++i) {
        QApplication::processEvents();
    }
    EXPECT_EQ(form.grab().toImage(), before);
}

// Each picture at 150 % and 200 % is the same pixel art, every pixel whole: no colour in it
// that the 100 % picture lacks, as a blur would bring.
TEST(ScaledPictures, AreDrawnWithWholePixels) {
    struct Picture {
        const char* file;
        QSize size;
    };
    const Picture pictures[] = {
        {"open", {20, 20}}, {"open_disabled", {20, 20}}, {"setup", {20, 20}},
        {"exit", {20, 20}}, {"exit_disabled", {20, 20}}, {"program", {32, 32}},
    };
    ui::LoadUiResources();
    for (const Picture& picture : pictures) {
        SCOPED_TRACE(picture.file);
        const QString base = QStringLiteral(":/icons/") + QLatin1String(picture.file);
        const std::set<QRgb> plain = Colours(QImage(base + QStringLiteral(".png")));
        QIcon icon;
        ui::AddScaledFiles(icon, base, QIcon::Normal);
        for (const qreal scale : {1.0, 1.5, 2.0}) {
            const QImage scaled = icon.pixmap(picture.size, scale).toImage();
            EXPECT_EQ(scaled.size(), picture.size * scale) << scale;
            const std::set<QRgb> drawn = Colours(scaled);
            EXPECT_TRUE(std::includes(plain.begin(), plain.end(), drawn.begin(), drawn.end()))
                << scale;
        }
    }
}

}  // namespace
}  // namespace qf580::test
