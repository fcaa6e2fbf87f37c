#include "ui/WindowLook.h"

#include <QApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QPointer>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <algorithm>

// Outside any namespace, as the resource macro requires.
static void InitUiResources() {
    Q_INIT_RESOURCE(resources);
}

namespace qf580::ui {

void LoadUiResources() {
    InitUiResources();
}

void AddScaledFiles(QIcon& icon, const QString& base, QIcon::Mode mode) {
    LoadUiResources();
    for (const char* scale : {"", "@1.5x", "@2x"}) {
        icon.addFile(base + QLatin1String(scale) + QStringLiteral(".png"), QSize(), mode);
    }
}

QIcon ProgramIcon() {
    QIcon icon;
    AddScaledFiles(icon, QStringLiteral(":/icons/program"), QIcon::Normal);
    return icon;
}
namespace {

QMargins FrameMargins(const QWidget& window) {
    const QRect frame = window.frameGeometry();
    const QRect client = window.geometry();
    return QMargins(client.left() - frame.left(), client.top() - frame.top(),
                    frame.right() - client.right(), frame.bottom() - client.bottom());
}

// Places the window once, on its first showing, and again when the window manager has
// given it a frame of another size than was assumed.
class FirstPlacement : public QObject {
  public:
    FirstPlacement(QWidget& window, QWidget* over)
        : QObject(&window), window_(window), over_(over) {
        window.installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const bool onWidget = watched == &window_;
        const bool onNative = watched == window_.windowHandle() && watched != nullptr;
        if (!onWidget && !onNative) {
            return false;
        }
        switch (event->type()) {
            case QEvent::Show:
                // A spontaneous one is the window coming back from being minimised.
                if (onWidget && !placed_ && !event->spontaneous()) {
                    placed_ = true;
                    Place(EstimatedFrame());
                    waitingForFrame_ = true;
                    // The frame is known by the first exposure on the screen, which moves
                    // nothing when the window manager keeps the client area in place.
                    if (QWindow* native = window_.windowHandle()) {
                        native->installEventFilter(this);
                    }
                }
                break;
            case QEvent::Expose:
            case QEvent::Move:
            case QEvent::Resize:
                // What the window system reports, not the echo of our own placing.
                if (waitingForFrame_ && event->spontaneous() && !FrameMargins(window_).isNull()) {
                    // Until the window stands where its own frame puts it; a few tries at
                    // most, so a window that the operator drags at once is not fought over.
                    const QPoint wanted = Wanted(FrameMargins(window_));
                    if (wanted == window_.geometry().topLeft() ||
                        ++corrections_ > kMaxCorrections) {
                        waitingForFrame_ = false;
                    } else {
                        Place(FrameMargins(window_));
                    }
                }
                break;
            case QEvent::Hide:
                if (onWidget && !event->spontaneous()) {
                    waitingForFrame_ = false;
                }
                break;
            default:
                break;
        }
        return false;
    }

  private:
    // The frame that the window manager will most likely give this window: that of the
    // window it is centred over, else that of any window already on the screen.
    QMargins EstimatedFrame() const {
        if (over_ && over_->isVisible() && !FrameMargins(*over_).isNull()) {
            return FrameMargins(*over_);
        }
        for (const QWidget* other : QApplication::topLevelWidgets()) {
            if (other != &window_ && other->isVisible() && !FrameMargins(*other).isNull()) {
                return FrameMargins(*other);
            }
        }
        return FrameMargins(window_);
    }

    // Where the client area goes for a frame of `frame`.
    QPoint Wanted(QMargins frame) const {
        const QScreen* screen = over_ ? over_->screen() : window_.screen();
        if (!screen) {
            return window_.geometry().topLeft();
        }
        const QRect area = screen->availableGeometry();
        const QRect target = over_ ? over_->frameGeometry() : area;
        return CentredClientPos(window_.size(), frame, target, area);
    }

    void Place(QMargins frame) {
        // The client area is placed, not the frame: where the toolkit puts the frame of a
        // window that has none yet differs between window managers.
        window_.setGeometry(QRect(Wanted(frame), window_.size()));
    }

    QWidget& window_;
    QPointer<QWidget> over_;
    static constexpr int kMaxCorrections = 3;
    int corrections_ = 0;
    bool placed_ = false;
    bool waitingForFrame_ = false;
};

}  // namespace

QFont FormFont(int pixelSize) {
    // The face the forms were laid out in comes first, then those with the closest metrics. One
    // family is set, not a list, since style sheets keep only the first of a list; glyphs that face
    // lacks (the Japanese texts) come from the system's fallback, the CJK face.
    static const QString family = [] {
        for (const char* name :
             {"MS Sans Serif", "Liberation Sans", "Arimo", "Nimbus Sans", "DejaVu Sans"}) {
            if (QFontDatabase::hasFamily(QString::fromLatin1(name))) {
                return QString::fromLatin1(name);
            }
        }
        return QString();
    }();
    QFont font;
    if (!family.isEmpty()) {
        font.setFamily(family);
    }
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    return font;
}

void PinFonts(QWidget& root) {
    QList<QWidget*> widgets = root.findChildren<QWidget*>();
    widgets.prepend(&root);
    for (QWidget* widget : widgets) {
        QFont font = widget->font();
        font.setResolveMask(QFont::AllPropertiesResolved);
        widget->setFont(font);
    }
}

namespace {

// A style sheet takes the colours it names (the frame's palette(mid)) once, when it is
// applied; applied again after each change of palette, it takes them afresh.
class FollowPaletteInSheet : public QObject {
  public:
    explicit FollowPaletteInSheet(QWidget& area) : QObject(&area), area_(area) {
        area.installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &area_ && event->type() == QEvent::PaletteChange && !pending_) {
            // Once the widgets beneath have taken the new palette too.
            pending_ = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    pending_ = false;
                    area_.setStyleSheet(area_.styleSheet());
                },
                Qt::QueuedConnection);
        }
        return false;
    }

  private:
    QWidget& area_;
    bool pending_ = false;
};

}  // namespace

void UseFramedGroupStyle(QWidget& area) {
    // Without it a style sheet copies the palette that its widgets have when it is applied
    // and keeps it: a change of the desktop's scheme would leave them in the old colours,
    // or in the new ones after a change back. With it, the sheet gives them only what it
    // says itself, which is no colour and no font.
    QCoreApplication::setAttribute(Qt::AA_UseStyleSheetPropagationInWidgetStyles);
    area.setStyleSheet(QStringLiteral(
        "QGroupBox { border: 2px groove palette(mid); margin-top: 6px; }"
        "QGroupBox::title { subcontrol-origin: margin; left: 6px; padding: 0px 2px; }"));
    new FollowPaletteInSheet(area);  // owned by the area
}

QPoint CentredClientPos(QSize clientSize, QMargins frame, QRect target, QRect area) {
    const QSize frameSize = clientSize.grownBy(frame);
    QPoint topLeft(target.left() + (target.width() - frameSize.width()) / 2,
                   target.top() + (target.height() - frameSize.height()) / 2);
    // Inside the area as far as it fits; a frame larger than the area keeps its title bar
    // on the screen.
    topLeft.setX(
        std::max(std::min(topLeft.x(), area.right() + 1 - frameSize.width()), area.left()));
    topLeft.setY(
        std::max(std::min(topLeft.y(), area.bottom() + 1 - frameSize.height()), area.top()));
    return topLeft + QPoint(frame.left(), frame.top());
}

void ReturnFocusToOwner(const QWidget& dialog) {
    if (QWidget* owner = dialog.parentWidget()) {
        owner->window()->activateWindow();
    }
}

void CentreOnFirstShow(QWidget& window, QWidget* over) {
    new FirstPlacement(window, over);  // owned by the window
}

}  // namespace qf580::ui
