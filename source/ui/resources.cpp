#include "ui/resources.h"

#include <QCoreApplication>

namespace {

constexpr int kIconSizes[] = {16, 32, 48, 64, 96, 128, 256};

}  // namespace

void RegisterResources() {
    Q_INIT_RESOURCE(update);
}

QString TranslationPath(const QString& fileName) {
    return QStringLiteral("./language/") + fileName;
}

std::unique_ptr<QTranslator> InstallTranslation(const QString& path) {
    auto translator = std::make_unique<QTranslator>();
    // Null delimiters and suffix select the toolkit's defaults ("_." and ".qm").
    if (!translator->load(path, QString(), QString(), QString()))
        return nullptr;
    QCoreApplication::installTranslator(translator.get());
    return translator;
}

QIcon UpdaterIcon() {
    QIcon icon;
    for (const int size : kIconSizes) {
        icon.addFile(QStringLiteral(":/res/icons/update-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}
