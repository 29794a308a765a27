// The compiled-in pictures and the translation lookup.
#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QLabel>
#include <filesystem>

#include "support/temp_dir.h"
#include "ui/information_dialog.h"
#include "ui/resources.h"
#include "ui/update_dialog.h"

namespace fs = std::filesystem;
using testing_support::ScopedWorkingDir;
using testing_support::TempDir;

namespace {

struct Picture {
    const char* path;
    QSize size;
};

// Every picture the program names, in the form it names it. Nothing in this
// test program calls RegisterResources(): the collection must have registered
// itself before main ran.
const Picture kPictures[] = {
    {":/res/update/image/progressBar/update_bg.png", {594, 242}},
    {":/res/update/image/progressBar/progress_bg.png", {528, 17}},
    {":/res/update/image/progressBar/progress.png", {1, 17}},
    {":/res/update/image/progressBar/cancel_default.png", {82, 25}},
    {":/res/update/image/progressBar/cancel_hover.png", {82, 25}},
    {":/res/update/image/progressBar/cancel_pressed.png", {82, 25}},
    {":/res/update/image/infoWindowBg.png", {290, 165}},
    {":/res/update/image/ok.png", {82, 25}},
    {":/res/update/image/ok_hover.png", {82, 25}},
    {":res/update/image/ok_hover.png", {82, 25}},
    {":/res/update/image/ok_press.png", {82, 25}},
    {":res/update/image/ok_press.png", {82, 25}},
    {":/res/update/image/tip1.png", {290, 20}},
    {":/res/update/image/tip2.png", {290, 20}},
    {":/res/update/image/tip3.png", {290, 20}},
    {":/res/update/image/tip4.png", {290, 20}},
    {":/res/icons/update-16.png", {16, 16}},
    {":/res/icons/update-32.png", {32, 32}},
    {":/res/icons/update-48.png", {48, 48}},
    {":/res/icons/update-64.png", {64, 64}},
    {":/res/icons/update-96.png", {96, 96}},
    {":/res/icons/update-128.png", {128, 128}},
    {":/res/icons/update-256.png", {256, 256}},
};

TEST(Resources, EveryNamedPictureLoadsAtItsSize) {
    for (const Picture& picture : kPictures) {
        SCOPED_TRACE(picture.path);
        const QImage image(QString::fromLatin1(picture.path));
        EXPECT_FALSE(image.isNull());
        EXPECT_EQ(image.size(), picture.size);
    }
}

TEST(Resources, WindowsCarryTheIconInAllItsSizes) {
    const QList<QSize> sizes = UpdateDialog().windowIcon().availableSizes();
    for (const int size : {16, 32, 48, 64, 96, 128, 256}) {
        EXPECT_TRUE(sizes.contains(QSize(size, size))) << size;
    }
    EXPECT_EQ(CInformationDlg().windowIcon().availableSizes(), sizes);
}

// Each test runs in an empty working directory of its own and removes the
// translator it installed when it ends.
class Translation : public ::testing::Test {
  protected:
    void Provide(const char* sampleName) {
        fs::create_directories(folder / "language");
        fs::copy_file(fs::path(SAMPLE_TRANSLATIONS_DIR) / sampleName,
                      folder / "language" / sampleName);
    }

    // Installs the translation as the program flow does and returns the
    // caption the progress dialog then shows.
    QString CaptionAfterInstalling() {
        translator = InstallTranslation(TranslationPath(QStringLiteral("update_zh_CN.qm")));
        return UpdateDialog().caption()->text();
    }

    TempDir folder;
    ScopedWorkingDir inFolder{folder.path()};
    std::unique_ptr<QTranslator> translator;
};

TEST_F(Translation, EnglishWithoutALanguageFolder) {
    EXPECT_EQ(CaptionAfterInstalling(), QStringLiteral("Downloading, please wait..."));
    EXPECT_EQ(translator, nullptr);
    EXPECT_EQ(UpdateDialog().windowTitle(), QStringLiteral("Update notice"));
    EXPECT_EQ(CInformationDlg().windowTitle(), QStringLiteral("Update notice"));
}

TEST_F(Translation, FullNameIsPreferred) {
    Provide("update.qm");
    Provide("update_zh.qm");
    Provide("update_zh_CN.qm");
    EXPECT_EQ(CaptionAfterInstalling(), QStringLiteral("from update_zh_CN.qm"));
}

TEST_F(Translation, LanguageWithoutCountryStandsInForTheFullName) {
    Provide("update.qm");
    Provide("update_zh.qm");
    EXPECT_EQ(CaptionAfterInstalling(), QStringLiteral("from update_zh.qm"));
}

TEST_F(Translation, BareNameStandsInLast) {
    Provide("update.qm");
    EXPECT_EQ(CaptionAfterInstalling(), QStringLiteral("from update.qm"));
}

TEST_F(Translation, ARejectedFileLeavesEnglish) {
    testing_support::WriteFileBytes(folder / "language" / "update_zh_CN.qm", "not a translation");
    EXPECT_EQ(CaptionAfterInstalling(), QStringLiteral("Downloading, please wait..."));
    EXPECT_EQ(translator, nullptr);
}

TEST_F(Translation, TheBuiltChineseTranslationIsFoundAndUsed) {
    fs::create_directories(folder / "language");
    fs::copy_file(fs::path(BUILT_TRANSLATIONS_DIR) / "update_zh_CN.qm",
                  folder / "language" / "update_zh_CN.qm");
    const QString caption = CaptionAfterInstalling();
    ASSERT_NE(translator, nullptr);
    EXPECT_FALSE(caption.isEmpty());
    EXPECT_NE(caption, QStringLiteral("Downloading, please wait..."));
}

}  // namespace
