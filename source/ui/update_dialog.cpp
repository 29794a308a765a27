#include "ui/update_dialog.h"

#include <QCloseEvent>
#include <QPixmap>
#include <algorithm>
#include <limits>

#include "ui/resources.h"
#include "ui_update_dialog.h"
#include "vocabulary/cancel_request.h"

CProgressBar* ProgressBarInstance = nullptr;

namespace {

constexpr QPoint kBarPosition(33, 139);

// v x `pixelsPerPercent` truncated toward zero, kept inside the range of int
// so that an absurd percentage cannot make the conversion undefined.
int FilledWidthFor(int percent, double pixelsPerPercent) {
    const double width = percent * pixelsPerPercent;
    return static_cast<int>(std::clamp(width, double{std::numeric_limits<int>::min()},
                                       double{std::numeric_limits<int>::max()}));
}

}  // namespace

UpdateDialog::UpdateDialog()
    : QDialog(nullptr, Qt::FramelessWindowHint), form_(std::make_unique<Ui::UpdateDialog>()) {
    form_->setupUi(this);
    setWindowIcon(UpdaterIcon());

    // The window takes the outline of its picture: the transparent corner
    // pixels are cut away. A missing picture leaves the fixed size, unmasked.
    const QPixmap background(QStringLiteral(":/res/update/image/progressBar/update_bg.png"),
                             nullptr, Qt::ColorOnly);
    if (!background.isNull()) {
        resize(background.size());
        setMask(background.mask());
    }

    ProgressBarInstance = new CProgressBar(this);
    ProgressBarInstance->move(kBarPosition);

    connect(form_->pushButton, &QPushButton::clicked, this, &UpdateDialog::cancelByUsr);

    ProgressBarInstance->filledWidth = FilledWidthFor(0, ProgressBarInstance->pixelsPerPercent);
    ProgressBarInstance->update();

    form_->labelTxt->hide();
    form_->labelTxt->setText(tr("Retrieving update..."));
}

UpdateDialog::~UpdateDialog() {
    if (ProgressBarInstance != nullptr && ProgressBarInstance->parent() == this) {
        ProgressBarInstance = nullptr;
    }
}

QPushButton* UpdateDialog::cancelButton() const {
    return form_->pushButton;
}

QLabel* UpdateDialog::caption() const {
    return form_->label;
}

QLabel* UpdateDialog::statusText() const {
    return form_->labelTxt;
}

void UpdateDialog::keyPressEvent(QKeyEvent*) {}

void UpdateDialog::closeEvent(QCloseEvent* event) {
    if (!closeRequested_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void UpdateDialog::cancelByUsr() {
    RequestCancel();
}

void UpdateDialog::onDownloadProcess(int v) {
    if (ProgressBarInstance == nullptr)
        return;
    ProgressBarInstance->filledWidth = FilledWidthFor(v, ProgressBarInstance->pixelsPerPercent);
    ProgressBarInstance->update();
}

void UpdateDialog::onSetText(QString) {}

void UpdateDialog::onClose() {
    closeRequested_ = true;
    close();
}

void UpdateDialog::onDisableBtn() {
    form_->pushButton->setDisabled(true);
}
