#include "mainwindow.h"
#include "widget_test_main.h"

#include <QFontDatabase>
#include <QMessageBox>
#include <QProcess>
#include <QStyle>

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void identity_is_set_before_the_application()
    {
        QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Quorvex"));
        QCOMPARE(QCoreApplication::organizationDomain(), QStringLiteral("quorvex.com"));
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("korvane"));
        QVERIFY(QCoreApplication::testAttribute(Qt::AA_UseHighDpiPixmaps));
        QVERIFY(QCoreApplication::testAttribute(Qt::AA_Use96Dpi));
    }

    void look_is_12_point_fusion_without_style_sheet()
    {
        QCOMPARE(QApplication::font().pointSize(), 12);
        QVERIFY(qApp->styleSheet().isEmpty());
        QCOMPARE(QApplication::style()->objectName().toLower(), QStringLiteral("fusion"));
        QVERIFY(!QApplication::windowIcon().availableSizes().isEmpty());
    }

    // Every widget the program shows, message boxes included, inherits that look.
    void program_widgets_inherit_the_look()
    {
        MainWindow window;
        QVERIFY(!window.windowIcon().isNull());
        const QList<QWidget *> widgets = window.findChildren<QWidget *>();
        QVERIFY(widgets.size() > 20);
        for (QWidget *w : widgets) {
            QCOMPARE(w->font().pointSize(), 12);
            QCOMPARE(w->style(), QApplication::style());
        }

        QMessageBox box(QMessageBox::Critical, QStringLiteral("错误"),
                        QStringLiteral("请先选择固件！"), QMessageBox::NoButton, &window);
        QCOMPARE(box.font().pointSize(), 12);
        QCOMPARE(box.style(), QApplication::style());
    }

    // Without a font that has Chinese glyphs every text of the window renders as boxes.
    void a_chinese_font_is_installed()
    {
        QVERIFY2(!QFontDatabase().families(QFontDatabase::SimplifiedChinese).isEmpty(),
                 "no font with Chinese glyphs: run scripts/setup.sh");
    }

    // The real program: starts, logs its argument line, and keeps running until closed.
    void program_logs_its_arguments()
    {
        const QString program = QStringLiteral(KORVANE_BIN_DIR "/korvane");
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.start(program, {QStringLiteral("a"), QStringLiteral("b")});
        QVERIFY2(process.waitForStarted(10000), qPrintable(process.errorString()));

        const QString expected = QStringLiteral("cmd \"%1 a b\" + 3").arg(program);
        QString err;
        for (int poll = 0; poll < 300 && !err.contains(expected); ++poll) {
            process.waitForReadyRead(100);
            err += QString::fromUtf8(process.readAllStandardError());
        }
        QVERIFY2(err.contains(expected), qPrintable(err));
        QCOMPARE(process.state(), QProcess::Running);

        process.kill();
        QVERIFY(process.waitForFinished(10000));
    }
};

int main(int argc, char **argv)
{
    return run_widget_test<StartupTest>(argc, argv);
}
#include "test_startup.moc"
