#include "startup.h"

#include <QApplication>
#include <QFont>
#include <QIcon>
#include <QStyleFactory>

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

void set_look(QApplication &app)
{
    // The resources live in a static library, whose automatic registration the
    // linker would drop.
    Q_INIT_RESOURCE(korvane);

    QFont font = QApplication::font();
    font.setPointSize(12);
    QApplication::setFont(font);
    app.setStyleSheet(QString());
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/korvane.png")));
}
