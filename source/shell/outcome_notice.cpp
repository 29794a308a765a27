#include "shell/outcome_notice.h"

#include <QLabel>
#include <QPixmap>

#include "ui/information_dialog.h"

QString OutcomePicture(Outcome outcome) {
    switch (outcome) {
        case Outcome::kSuccess:
            return QStringLiteral(":/res/update/image/tip1.png");
        case Outcome::kUpToDate:
            return QStringLiteral(":/res/update/image/tip2.png");
        case Outcome::kCancelled:
            return QStringLiteral(":/res/update/image/tip4.png");
        case Outcome::kFailed:
            break;
    }
    return QStringLiteral(":/res/update/image/tip3.png");
}

void ShowOutcomeNotice(Outcome outcome) {
    CInformationDlg notice;
    notice.noteImageLabel()->setPixmap(QPixmap(OutcomePicture(outcome)));
    notice.exec();
}
