// The notice dialog: how the run ended, shown as a picture.
//
// A frameless 290 x 165 window shaped by its background picture, with the
// outcome picture in `noteImageLabel` (set by the caller) and a picture OK
// button that accepts it. Having no title bar, it moves itself when dragged
// with the left mouse button. Keys do nothing: the user dismisses it with the
// mouse. GUI thread only.
#pragma once

#include <QDialog>
#include <QPoint>

#include "ui_information_dialog.h"

class CInformationDlg : public QDialog, public Ui::InfomationDialog {
  public:
    // Builds the dialog hidden, with no outcome picture.
    CInformationDlg();
    ~CInformationDlg() override;

  protected:
    // Swallows mouse moves on OK while it is enabled, so dragging from OK
    // neither moves the window nor changes the button's pressed look.
    bool eventFilter(QObject* watched, QEvent* event) override;
    // A plain left press arms dragging and remembers where it was pressed.
    void mousePressEvent(QMouseEvent* event) override;
    // Once armed, a move with any button held keeps the pressed point under
    // the cursor.
    void mouseMoveEvent(QMouseEvent* event) override;
    // Escape and Enter leave the dialog open.
    void keyPressEvent(QKeyEvent* event) override;

  private:
    QPoint dragOffset;
    // Set by the first plain left press and never cleared: there is no
    // release handling, so a later drag with another button moves the window
    // by the last stored offset.
    bool dragArmed = false;
};
