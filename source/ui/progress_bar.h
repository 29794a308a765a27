// The progress dialog's bar: a flat track with a flat fill drawn over its
// left part, both from pictures. The dialog writes `filledWidth` directly and
// asks for a repaint; the bar has no signals, text or border of its own.
// GUI thread only.
#pragma once

#include <QPixmap>
#include <QWidget>

class CProgressBar : public QWidget {
  public:
    explicit CProgressBar(QWidget* parent);
    ~CProgressBar() override;

    QPixmap bgPixmap;        // the empty track, 528 x 17
    QPixmap progressPixmap;  // the fill, 1 x 17, stretched to `filledWidth`
    // Filled pixels; 0 or less shows the track only, and a width beyond the
    // track is clipped by the widget's bounds.
    int filledWidth = 0;
    // 4.31 and not 5.28: a reported 100 % fills 430 of the 528 pixels, so
    // the bar never looks quite full.
    double pixelsPerPercent = 4.31;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};
