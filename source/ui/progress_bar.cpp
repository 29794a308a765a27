#include "ui/progress_bar.h"

#include <QPainter>

namespace {

constexpr int kBarWidth = 528;
constexpr int kBarHeight = 17;

}  // namespace

CProgressBar::CProgressBar(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground, true);
    bgPixmap.load(QStringLiteral(":/res/update/image/progressBar/progress_bg.png"));
    progressPixmap.load(QStringLiteral(":/res/update/image/progressBar/progress.png"));
    setFixedSize(kBarWidth, kBarHeight);
}

CProgressBar::~CProgressBar() = default;

// Keys do nothing here; the dialog swallows them too.
void CProgressBar::keyPressEvent(QKeyEvent*) {}

void CProgressBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawPixmap(QRect(0, 0, kBarWidth, kBarHeight), bgPixmap);
    if (filledWidth > 0)
        painter.drawPixmap(QRect(0, 0, filledWidth, kBarHeight), progressPixmap);
}
