// The outcome table: which picture tells which result of a run.
#include "shell/outcome_notice.h"

#include <gtest/gtest.h>

#include <QImage>
#include <set>

namespace {

TEST(OutcomeNotice, OnlySuccessUpToDateAndCancelHavePicturesOfTheirOwn) {
    EXPECT_EQ(OutcomePicture(OutcomeOf(kOk)), ":/res/update/image/tip1.png");
    EXPECT_EQ(OutcomePicture(OutcomeOf(kNothingNewer)), ":/res/update/image/tip2.png");
    EXPECT_EQ(OutcomePicture(OutcomeOf(kCancelled)), ":/res/update/image/tip4.png");
    // Every failure code, and numbers no run ends with.
    for (const int code : std::initializer_list<int>{1,
                                                     kSocketsUnavailable,
                                                     kTimeBudgetSpent,
                                                     kSocketSetupFailed,
                                                     kConnectionRefused,
                                                     kRequestNotSent,
                                                     kReceiveFailed,
                                                     kNotInReadySet,
                                                     kConnectTimedOut,
                                                     kStatusNotAccepted,
                                                     kBadPackageName,
                                                     kApplyFailed,
                                                     kPackageFileFailed,
                                                     kPackageIncomplete,
                                                     kSilenceLimit,
                                                     kUrlUnusableOrWaitFailed,
                                                     kResponseTooLarge,
                                                     kOutOfMemory,
                                                     kUnexpectedFailure,
                                                     255,
                                                     -1}) {
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
