#include "startup.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QStyleFactory>
#include <QTranslator>

void set_identity()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Quorvex"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("quorvex.com"));
    QCoreApplication::setApplicationName(QStringLiteral("korvane"));
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    // Lay fonts out as on a 96 dpi screen, whatever the real screen reports, so the
    // form keeps its proportions everywhere.
    QCoreApplication::setAttribute(Qt::AA_Use96Dpi);
}

QTranslator *install_qt_translation(QCoreApplication &app, const QLocale &locale)
{
    // The window speaks Chinese whatever the desktop's language, so Qt's own buttons must
    // too: the desktop's catalogue only when it is a Chinese one (zh_TW's traditional
    // characters), and simplified Chinese for every other locale.
    QStringList names;
    if (locale.language() == QLocale::Chinese) {
        names << locale.name();
        if (locale.script() == QLocale::TraditionalChineseScript)
            names << QStringLiteral("zh_TW");
    }
    names << QStringLiteral("zh_CN");

    const QDir dir(QLibraryInfo::location(QLibraryInfo::TranslationsPath));
    auto *translator = new QTranslator(&app);
    for (const QString &name : names) {
        // A whole file name: load() left to search would settle for a shorter one
        // ("qtbase_zh", "qtbase") instead of trying the next locale.
        const QString file = dir.filePath(QStringLiteral("qtbase_%1.qm").arg(name));
        if (QFileInfo::exists(file) && translator->load(file)
            && QCoreApplication::installTranslator(translator))
            return translator;
    }
    delete translator;
    return nullptr;
}

void set_look(QApplication &app)
{
    // The resources live in a static library, whose automatic registration the
    // linker would drop.
    Q_INIT_RESOURCE(korvane);

    install_qt_translation(app, QLocale::system());

    QFont font = QApplication::font();
    font.setPointSize(12);
    QApplication::setFont(font);
    app.setStyleSheet(QString());
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/korvane.png")));
}
