// Renders the updater's windows for review: the progress dialog empty, at
// 50 %, at 100 % and with Cancel disabled, and the notice dialog with each of
// the four outcome pictures. Each window is shown on a plain desktop backdrop
// and the screen around it is saved, so the shape mask's corners show too.
//
//   render_screens OUTPUT_FOLDER
//
// Needs a real display (scripts/render-screens starts Xvfb for it).
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QScreen>
#include <QWidget>
#include <cstdio>
#include <functional>

#include "ui/information_dialog.h"
#include "ui/update_dialog.h"

namespace {

constexpr int kMargin = 28;
constexpr int kSettleMilliseconds = 400;

// A calm desktop behind the windows.
class Backdrop : public QWidget {
  public:
    Backdrop() : QWidget(nullptr, Qt::FramelessWindowHint) {}

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        QLinearGradient gradient(0, 0, 0, height());
        gradient.setColorAt(0, QColor(58, 82, 112));
        gradient.setColorAt(1, QColor(32, 44, 62));
        painter.fillRect(rect(), gradient);
    }
};

// Lets the window system map and paint what was just shown or changed.
void Settle() {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < kSettleMilliseconds) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
}

bool SaveScreenAround(const QWidget& window, const QString& file) {
    const QRect area = window.frameGeometry().adjusted(-kMargin, -kMargin, kMargin, kMargin);
    const QPixmap shot =
        window.screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    const bool saved = !shot.isNull() && shot.save(file);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED to write", qPrintable(file));
    return saved;
}

bool ShowProgress(const QDir& out, const QString& name,
                  const std::function<void(UpdateDialog&)>& set) {
    UpdateDialog dialog;
    dialog.show();
    set(dialog);
    Settle();
    return SaveScreenAround(dialog, out.filePath(name));
}

void Percent(UpdateDialog& dialog, int percent) {
    QMetaObject::invokeMethod(&dialog, "onDownloadProcess", Q_ARG(int, percent));
}

bool ShowNotice(const QDir& out, const QString& name, const QString& picture) {
    CInformationDlg dialog;
    dialog.noteImageLabel()->setPixmap(QPixmap(picture));
    dialog.show();
    Settle();
    return SaveScreenAround(dialog, out.filePath(name));
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: render_screens OUTPUT_FOLDER\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "render_screens: cannot create %s\n", argv[1]);
        return 1;
    }

    Backdrop backdrop;
    backdrop.setGeometry(backdrop.screen()->geometry());
    backdrop.show();

    bool ok = true;
    ok &= ShowProgress(out, "progress-empty.png", [](UpdateDialog&) {});
    ok &= ShowProgress(out, "progress-50.png", [](UpdateDialog& d) { Percent(d, 50); });
    ok &= ShowProgress(out, "progress-100.png", [](UpdateDialog& d) { Percent(d, 100); });
    ok &= ShowProgress(out, "progress-cancel-disabled.png", [](UpdateDialog& d) {
        Percent(d, 100);
        QMetaObject::invokeMethod(&d, "onDisableBtn");
    });
    ok &= ShowNotice(out, "notice-success.png", ":/res/update/image/tip1.png");
    ok &= ShowNotice(out, "notice-up-to-date.png", ":/res/update/image/tip2.png");
    ok &= ShowNotice(out, "notice-failed.png", ":/res/update/image/tip3.png");
    ok &= ShowNotice(out, "notice-cancelled.png", ":/res/update/image/tip4.png");
    return ok ? 0 : 1;
}
