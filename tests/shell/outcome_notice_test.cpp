// The outcome table: which picture tells which result of a run.
#include "shell/outcome_notice.h"

#include <gtest/gtest.h>

#include <QImage>
#include <set>

namespace {

TEST(OutcomeNotice, OnlySuccessUpToDateAndCancelHavePicturesOfTheirOwn) {
    EXPECT_EQ(OutcomePicture(OutcomeOf(0)), ":/res/update/image/tip1.png");
    EXPECT_EQ(OutcomePicture(OutcomeOf(2)), ":/res/update/image/tip2.png");
    EXPECT_EQ(OutcomePicture(OutcomeOf(16)), ":/res/update/image/tip4.png");
    for (const int code :
         {1, 3, 7, 8, 9, 11, 12, 13, 14, 15, 17, 18, 19, 20, 21, 22, 23, 255, -1}) {
        EXPECT_EQ(OutcomePicture(OutcomeOf(code)), ":/res/update/image/tip3.png") << code;
    }
}

TEST(OutcomeNotice, EveryPictureIsCompiledInAsADistinctStrip) {
    std::set<QByteArray> distinct;
    for (const Outcome outcome :
         {Outcome::kSuccess, Outcome::kUpToDate, Outcome::kCancelled, Outcome::kFailed}) {
        const QImage picture(OutcomePicture(outcome));
        EXPECT_EQ(picture.size(), QSize(290, 20)) << OutcomePicture(outcome).toStdString();
        distinct.insert(QByteArray(reinterpret_cast<const char*>(picture.constBits()),
                                   static_cast<qsizetype>(picture.sizeInBytes())));
    }
    EXPECT_EQ(distinct.size(), 4u);
}

}  // namespace
