// The progress dialog: the one window on screen while an update runs.
//
// A frameless 594 x 242 window shaped by its background picture, with the
// caption "Downloading, please wait...", a picture progress bar and a picture
// Cancel button. It never talks to the worker thread: percentages, the order
// to disable Cancel and the order to close arrive as slot calls on the GUI
// thread through the status channel, and the only thing it hands back is
// RequestCancel(), which the HTTP exchange notices.
#pragma once

#include <QDialog>
#include <memory>

#include "ui/progress_bar.h"

class QLabel;
class QPushButton;

// The form drawn in update_dialog.ui; its generated header is the ui
// module's own business, included by update_dialog.cpp alone.
namespace Ui {
class UpdateDialog;
}

class UpdateDialog : public QDialog {
    Q_OBJECT

  public:
    // Builds the whole dialog hidden, with the bar empty and Cancel enabled.
    UpdateDialog();
    ~UpdateDialog() override;

    // The form's widgets, for the tests and the screen renderer: the Cancel
    // button, the caption, and the status text under it (kept hidden).
    QPushButton* cancelButton() const;
    QLabel* caption() const;
    QLabel* statusText() const;

  protected:
    // Keys reaching the dialog are swallowed, so Escape does not close it.
    void keyPressEvent(QKeyEvent* event) override;
    // A close request from the window system (Alt+F4, the task bar) is
    // ignored like Escape: closing while the worker still reports would leave
    // the run going on behind a vanished window. Only onClose() closes it.
    void closeEvent(QCloseEvent* event) override;

  private slots:
    // Asks the run to stop (RequestCancel); the dialog stays open and Cancel
    // stays enabled.
    void cancelByUsr();
    // Fills the bar to `v` percent (v x 4.31 pixels, truncated).
    void onDownloadProcess(int v);
    // Status texts are not shown: the caption stays as it is.
    void onSetText(QString s);
    void onClose();
    // Cancel can no longer be clicked for the rest of the run.
    void onDisableBtn();

  private:
    // The bridge connects its signals to the private slots above.
    friend class CBegingUpdater;

    std::unique_ptr<Ui::UpdateDialog> form_;
    bool closeRequested_ = false;
};

// The bar of the progress dialog (there is one per process); null while no
// dialog exists. GUI thread only.
extern CProgressBar* ProgressBarInstance;
