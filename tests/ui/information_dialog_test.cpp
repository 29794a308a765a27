// The notice dialog: dragging the frameless window, the filter on OK and the
// keys that must not dismiss it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "ui/information_dialog.h"

namespace {

const QPoint kStart(100, 100);

// A move of the mouse to the screen position `global` with `held` buttons
// down, delivered to `target` the way the application delivers it (so moves
// without a held button are dropped, as mouse tracking is off).
void MoveMouse(QWidget* target, QPoint global, Qt::MouseButtons held) {
    const QPointF local = target->mapFromGlobal(QPointF(global));
    QMouseEvent move(QEvent::MouseMove, local, QPointF(global), Qt::NoButton, held, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
}

void Press(QWidget* target, Qt::MouseButton button, QPoint local,
           Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::mousePress(target, button, modifiers, local);
    QTest::mouseRelease(target, button, modifiers, local);
}

class NoticeDialog : public ::testing::Test {
  protected:
    void SetUp() override {
        dialog.show();
        dialog.move(kStart);
        ASSERT_EQ(dialog.pos(), kStart);
    }

    CInformationDlg dialog;
    QSignalSpy finished{&dialog, &QDialog::finished};
};

TEST_F(NoticeDialog, PlainLeftPressDragsWithThePressedPointUnderTheCursor) {
    // Presses and moves over the background land on the container and reach
    // the dialog from there.
    Press(dialog.panel(), Qt::LeftButton, QPoint(40, 30));
    MoveMouse(dialog.panel(), QPoint(300, 250), Qt::LeftButton);
    EXPECT_EQ(dialog.pos(), QPoint(260, 220));
    MoveMouse(dialog.noteImageLabel(), QPoint(310, 270), Qt::LeftButton);
    EXPECT_EQ(dialog.pos(), QPoint(270, 240));
}

TEST_F(NoticeDialog, APressWithAModifierNeitherArmsNorChangesTheOffset) {
    for (const Qt::KeyboardModifier modifier :
         {Qt::ControlModifier, Qt::ShiftModifier, Qt::AltModifier}) {
        Press(dialog.panel(), Qt::LeftButton, QPoint(40, 30), modifier);
        MoveMouse(dialog.panel(), QPoint(300, 250), Qt::LeftButton);
        EXPECT_EQ(dialog.pos(), kStart) << modifier;
    }
    Press(dialog.panel(), Qt::LeftButton, QPoint(40, 30));
    Press(dialog.panel(), Qt::LeftButton, QPoint(5, 5), Qt::ControlModifier);
    MoveMouse(dialog.panel(), QPoint(300, 250), Qt::LeftButton);
    EXPECT_EQ(dialog.pos(), QPoint(260, 220));
}

TEST_F(NoticeDialog, RightButtonDragsOnlyAfterAPlainLeftPress) {
    Press(dialog.panel(), Qt::RightButton, QPoint(20, 20));
    MoveMouse(dialog.panel(), QPoint(300, 250), Qt::RightButton);
    EXPECT_EQ(dialog.pos(), kStart);

    Press(dialog.panel(), Qt::LeftButton, QPoint(40, 30));
    // A right press does not store its own point: the left press's offset
    // moves the window.
    Press(dialog.panel(), Qt::RightButton, QPoint(5, 5));
    MoveMouse(dialog.panel(), QPoint(300, 250), Qt::RightButton);
    EXPECT_EQ(dialog.pos(), QPoint(260, 220));
}

TEST_F(NoticeDialog, DraggingFromOkNeitherMovesTheWindowNorReleasesTheButton) {
    Press(dialog.panel(), Qt::LeftButton, QPoint(40, 30));  // armed, to show it stays put
    const QPoint onOk(10, 10);
    const QPoint offOk(150, -60);
    QTest::mousePress(dialog.okButton(), Qt::LeftButton, Qt::NoModifier, onOk);
    ASSERT_TRUE(dialog.okButton()->isDown());
    MoveMouse(dialog.okButton(), dialog.okButton()->mapToGlobal(offOk), Qt::LeftButton);
    EXPECT_EQ(dialog.pos(), kStart);
    EXPECT_TRUE(dialog.okButton()->isDown());  // the button never saw the move

    QTest::mouseRelease(dialog.okButton(), Qt::LeftButton, Qt::NoModifier, offOk);
    EXPECT_EQ(finished.count(), 0);
    EXPECT_TRUE(dialog.isVisible());
}

TEST_F(NoticeDialog, ClickOnOkAcceptsTheDialog) {
    QTest::mouseClick(dialog.okButton(), Qt::LeftButton);
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).toInt(), QDialog::Accepted);
    EXPECT_FALSE(dialog.isVisible());
}

TEST_F(NoticeDialog, EscapeAndEnterLeaveItOpen) {
    EXPECT_EQ(dialog.okButton()->focusPolicy(), Qt::NoFocus);
    for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
        QTest::keyClick(&dialog, key);
    }
    EXPECT_EQ(finished.count(), 0);
    EXPECT_TRUE(dialog.isVisible());
}

}  // namespace
