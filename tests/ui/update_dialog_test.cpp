// The progress dialog: the bar's drawn width and colours, Cancel, and the
// rule that nothing but onClose() closes the window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QColor>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <climits>

#include "ui/update_dialog.h"
#include "vocabulary/cancel_request.h"

namespace {

const QString kTrackColour = QColor(206, 206, 206).name();
const QString kFillColour = QColor(111, 150, 199).name();

QString ColourAt(const QImage& image, int x, int y) {
    return image.pixelColor(x, y).name();
}

// The slots are private: the status channel reaches them through the
// meta-object, and so do these tests.
void Invoke(UpdateDialog& dialog, const char* slot) {
    ASSERT_TRUE(QMetaObject::invokeMethod(&dialog, slot));
}

void ReportPercent(UpdateDialog& dialog, int percent) {
    ASSERT_TRUE(QMetaObject::invokeMethod(&dialog, "onDownloadProcess", Q_ARG(int, percent)));
}

// Columns of fill colour counted from the left of the drawn bar; the column
// after them must show the track.
int DrawnFillWidth(CProgressBar& bar) {
    const QImage image = bar.grab().toImage();
    const int row = image.height() / 2;
    int width = 0;
    while (width < image.width() && ColourAt(image, width, row) == kFillColour)
        ++width;
    if (width < image.width()) {
        EXPECT_EQ(ColourAt(image, width, row), kTrackColour);
    }
    return width;
}

class ProgressDialog : public ::testing::Test {
  protected:
    // Tests only: the product never sets the flag back.
    void SetUp() override { ClearCancelRequest(); }
    void TearDown() override { ClearCancelRequest(); }

    UpdateDialog dialog;
};

TEST_F(ProgressDialog, BarIsEmptyAsSoonAsTheDialogIsBuilt) {
    ASSERT_NE(ProgressBarInstance, nullptr);
    EXPECT_EQ(ProgressBarInstance->parent(), &dialog);
    EXPECT_EQ(ProgressBarInstance->filledWidth, 0);
    EXPECT_EQ(DrawnFillWidth(*ProgressBarInstance), 0);
}

TEST_F(ProgressDialog, PercentagesFillTheBarByFourPointThirtyOnePixelsEach) {
    struct Case {
        int percent;
        int drawnWidth;
    };
    const Case cases[] = {
        {0, 0},     {-1, 0},    {-100, 0},  {INT_MIN, 0},   {1, 4},
        {50, 215},  {99, 426},  {100, 430},  // 100 x 4.31 is 430.99999999999994, truncated
        {122, 525}, {123, 528}, {255, 528}, {INT_MAX, 528},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.percent);
        ReportPercent(dialog, c.percent);
        EXPECT_EQ(DrawnFillWidth(*ProgressBarInstance), c.drawnWidth);
    }
}

TEST_F(ProgressDialog, TrackAndFillAreDrawnInTheirColoursInsideTheWindow) {
    dialog.show();
    ReportPercent(dialog, 50);
    const QImage window = dialog.grab().toImage();
    const QPoint bar = ProgressBarInstance->pos();
    EXPECT_EQ(bar, QPoint(33, 139));
    for (const int y : {0, 8, 16}) {
        EXPECT_EQ(ColourAt(window, bar.x() + 0, bar.y() + y), kFillColour);
        EXPECT_EQ(ColourAt(window, bar.x() + 214, bar.y() + y), kFillColour);
        EXPECT_EQ(ColourAt(window, bar.x() + 215, bar.y() + y), kTrackColour);
        EXPECT_EQ(ColourAt(window, bar.x() + 527, bar.y() + y), kTrackColour);
    }
}

TEST_F(ProgressDialog, CancelSetsTheFlagAndLeavesTheDialogAsItWas) {
    dialog.show();
    QTest::mouseClick(dialog.cancelButton(), Qt::LeftButton);
    EXPECT_TRUE(CancelRequested());
    QTest::mouseClick(dialog.cancelButton(), Qt::LeftButton);
    EXPECT_TRUE(CancelRequested());
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(dialog.cancelButton()->isEnabled());
}

TEST_F(ProgressDialog, CancelIsDeadOnceDisabled) {
    dialog.show();
    Invoke(dialog, "onDisableBtn");
    EXPECT_FALSE(dialog.cancelButton()->isEnabled());
    QTest::mouseClick(dialog.cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(CancelRequested());
}

TEST_F(ProgressDialog, EscapeAndOtherKeysLeaveItOpen) {
    dialog.show();
    for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
        QTest::keyClick(&dialog, key);
    }
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(CancelRequested());
}

TEST_F(ProgressDialog, CloseRequestOfTheWindowSystemIsIgnored) {
    dialog.show();
    ASSERT_NE(dialog.windowHandle(), nullptr);
    // The same path a window manager's close (Alt+F4) takes into the widget.
    dialog.windowHandle()->close();
    EXPECT_TRUE(dialog.isVisible());
    Invoke(dialog, "onClose");
    EXPECT_FALSE(dialog.isVisible());
}

TEST_F(ProgressDialog, OnCloseEndsTheEventLoopWhenItIsTheLastWindow) {
    dialog.show();
    bool timedOut = false;
    QTimer::singleShot(0, &dialog, [this] { Invoke(dialog, "onClose"); });
    QTimer::singleShot(5000, qApp, [&timedOut] {
        timedOut = true;
        QApplication::quit();
    });
    QApplication::exec();
    EXPECT_FALSE(timedOut);
    EXPECT_FALSE(dialog.isVisible());
}

TEST_F(ProgressDialog, StatusTextsChangeNothingOnScreen) {
    dialog.show();
    const QImage before = dialog.grab().toImage();
    ASSERT_TRUE(QMetaObject::invokeMethod(&dialog, "onSetText",
                                          Q_ARG(QString, QStringLiteral("Updating..."))));
    EXPECT_EQ(dialog.caption()->text(), QStringLiteral("Downloading, please wait..."));
    EXPECT_TRUE(dialog.statusText()->isHidden());
    EXPECT_EQ(dialog.statusText()->text(), QStringLiteral("Retrieving update..."));
    EXPECT_EQ(dialog.grab().toImage(), before);
}

}  // namespace
