// The notice dialog: how the run ended, shown as a picture.
//
// A frameless 290 x 165 window shaped by its background picture, with the
// outcome picture in noteImageLabel() (set by the caller) and a picture OK
// button that accepts it. Having no title bar, it moves itself when dragged
// with the left mouse button. Keys do nothing: the user dismisses it with the
// mouse. GUI thread only.
#pragma once

#include <QDialog>
#include <QPoint>
#include <memory>

class QLabel;
class QPushButton;

// The form drawn in information_dialog.ui; its generated header is the ui
// module's own business, included by information_dialog.cpp alone.
namespace Ui {
class InfomationDialog;
}

class CInformationDlg : public QDialog {
  public:
    // Builds the dialog hidden, with no outcome picture.
    CInformationDlg();
    ~CInformationDlg() override;

    // The form's widgets: the label that shows the outcome picture, the OK
    // button, and the panel that holds both.
    QLabel* noteImageLabel() const;
    QPushButton* okButton() const;
    QWidget* panel() const;

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
    std::unique_ptr<Ui::InfomationDialog> form_;
    QPoint dragOffset;
    // Set by the first plain left press and never cleared: there is no
    // release handling, so a later drag with another button moves the window
    // by the last stored offset.
    bool dragArmed = false;
};
