#include "ui/information_dialog.h"

#include <QMouseEvent>
#include <QPixmap>

#include "ui/resources.h"
#include "ui_information_dialog.h"

CInformationDlg::CInformationDlg()
    : QDialog(nullptr, Qt::FramelessWindowHint), form_(std::make_unique<Ui::InfomationDialog>()) {
    form_->setupUi(this);
    setWindowIcon(UpdaterIcon());

    const QPixmap background(QStringLiteral(":/res/update/image/infoWindowBg.png"), nullptr,
                             Qt::ColorOnly);
    if (!background.isNull()) {
        resize(background.size());
        setMask(background.mask());
    }

    // The form shows the success picture as a border image; the caller sets
    // the real outcome as a pixmap, so the label starts empty.
    form_->noteImageLabel->setStyleSheet(QStringLiteral("color: white; font-size: 11px;"));
    form_->ok_btn->installEventFilter(this);
}

CInformationDlg::~CInformationDlg() = default;

QLabel* CInformationDlg::noteImageLabel() const {
    return form_->noteImageLabel;
}

QPushButton* CInformationDlg::okButton() const {
    return form_->ok_btn;
}

QWidget* CInformationDlg::panel() const {
    return form_->widget;
}

bool CInformationDlg::eventFilter(QObject* watched, QEvent* event) {
    const auto* target = qobject_cast<QWidget*>(watched);
    return target != nullptr && target->isEnabled() && target->inherits("QPushButton") &&
           event->type() == QEvent::MouseMove;
}

void CInformationDlg::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || event->modifiers() != Qt::NoModifier)
        return;
    dragOffset = event->position().toPoint();
    dragArmed = true;
}

void CInformationDlg::mouseMoveEvent(QMouseEvent* event) {
    if (dragArmed)
        move(event->globalPosition().toPoint() - dragOffset);
}

void CInformationDlg::keyPressEvent(QKeyEvent*) {}
