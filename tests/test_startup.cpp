#include "mainwindow.h"
#include "widget_test_main.h"
#ifdef KORVANE_HAVE_X11
#include "close_window_x11.h"
#endif

#include <QAbstractButton>
#include <QFontDatabase>
#include <QLocale>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>
#include <QStyle>
#include <QTranslator>

#ifdef KORVANE_HAVE_X11
namespace {

struct window_run
{
    bool ended = false;
    QProcess::ExitStatus status = QProcess::NormalExit;
    int code = -1;
    int attempts = 0;
    QByteArray said;
};

// A private X server of our own, on the first free display.
class x_server
{
public:
    explicit x_server(const QString &program)
    {
        // -noreset: a server resets when its last client leaves, and the look-ups for the
        // window come and go while the program starts.
        process.start(program, {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"});
        process.waitForStarted(10000);
        QByteArray number;
        for (int poll = 0; poll < 100 && !number.contains('\n') && running(); ++poll) {
            process.waitForReadyRead(100);
            number += process.readAllStandardOutput();
        }
        if (!number.contains('\n'))
            return;
        const QByteArray named = ':' + number.trimmed();
        for (int poll = 0; poll < 100 && running() && name.isEmpty(); ++poll) {
            if (display_accepts(named))
                name = named;
            else
                process.waitForFinished(100);
        }
    }
    ~x_server()
    {
        process.terminate();
        process.waitForFinished(10000);
    }
    // Empty when it named no display or accepts no client.
    QByteArray display() const { return name; }
    bool running() const { return process.state() == QProcess::Running; }
    QByteArray said() { return process.readAllStandardError(); }

private:
    QProcess process;
    QByteArray name;
};

// Starts the real program on `display` and closes its window as a window manager would.
window_run run_and_close_window(const QByteArray &display)
{
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));
    // In a sanitizer build, for the system's X11 libraries: Qt's X11 plugins and D-Bus
    // leave memory behind at exit, some in a plugin already unloaded that no suppression
    // can name, and libxkbcommon-x11 hands strndup() a bounded, unterminated string,
    // which strict string checks take for an overflow. Our own leaks are found by the
    // tests that run in this process; other memory errors still fail here.
    const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               asan + (asan.isEmpty() ? "" : ":")
                   + QStringLiteral("detect_leaks=0:strict_string_checks=0"));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(KORVANE_BIN_DIR "/korvane"), QStringList());
    window_run run;
    if (!program.waitForStarted(10000)) {
        run.said = program.errorString().toUtf8();
        return run;
    }

    run.attempts = 1;
    while (!close_window_x11(display, QStringLiteral("固件更新工具V2.0")) && run.attempts < 200
           && !program.waitForFinished(50))
        ++run.attempts;
    run.ended = program.state() == QProcess::NotRunning || program.waitForFinished(10000);
    if (!run.ended)
        program.kill();
    run.said = program.readAllStandardError();
    run.status = program.exitStatus();
    run.code = program.exitCode();
    return run;
}

} // namespace
#endif

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

    // Qt's own texts match the window's language: the standard OK of the "更新完成" box as
    // the operator sees it, and for each kind of desktop locale the catalogue chosen.
    void qt_texts_are_chinese_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("ok");
        QTest::addColumn<QString>("look_in");
        QTest::newRow("zh_CN") << "zh_CN" << "确定" << "查找范围：";
        QTest::newRow("zh_TW, traditional") << "zh_TW" << "確定" << "尋找於：";
        QTest::newRow("zh_HK, zh_TW's catalogue") << "zh_HK" << "確定" << "尋找於：";
        QTest::newRow("C, no catalogue") << "C" << "确定" << "查找范围：";
        QTest::newRow("sw_KE, no catalogue") << "sw_KE" << "确定" << "查找范围：";
        QTest::newRow("pt_BR, a catalogue in another language") << "pt_BR" << "确定" << "查找范围：";
    }

    void qt_texts_are_chinese()
    {
        QFETCH(QString, locale);
        QFETCH(QString, ok);
        QFETCH(QString, look_in);
        QMessageBox done(QMessageBox::Information, QStringLiteral("更新完成"),
                         QStringLiteral("更新完成"), QMessageBox::NoButton);
        done.show(); // adds the standard OK
        QVERIFY(QStringList({"确定", "確定"}).contains(done.buttons().value(0)->text()));

        QTranslator *translator = install_qt_translation(*qApp, QLocale(locale));
        QVERIFY(translator);
        const QString ok_text = QCoreApplication::translate("QPlatformTheme", "OK");
        const QString look_in_text = QCoreApplication::translate("QFileDialog", "Look in:");
        QCoreApplication::removeTranslator(translator);
        delete translator;
        QCOMPARE(ok_text, ok);
        QCOMPARE(look_in_text, look_in);
    }

    // The operator closes the real program's window with its close button, which the window
    // manager passes on as WM_DELETE_WINDOW: the program ends by itself with status 0.
    void closing_the_window_ends_the_program_with_0()
    {
#ifndef KORVANE_HAVE_X11
        QSKIP("built without Xlib: run scripts/setup.sh");
#else
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty())
            QSKIP("no Xvfb: run scripts/setup.sh");
        // A program turned away at connect says nothing of itself: that is tried again on a
        // new server, a few times at most, and the server's own words go with a failure.
        window_run run;
        for (int launch = 0; launch < 3; ++launch) {
            x_server server(xvfb);
            const QByteArray display = server.display();
            QVERIFY2(!display.isEmpty(), server.said().constData());
            run = run_and_close_window(display);
            if (!run.said.contains("could not connect to display"))
                break;
            qWarning().noquote() << "Xvfb" << display << (server.running() ? "running" : "ended")
                                 << "said:" << server.said();
        }
        QVERIFY2(run.ended, "the program kept running after its window was closed");
        QVERIFY2(run.status == QProcess::NormalExit, run.said.constData());
        QVERIFY2(run.code == 0, run.said.constData());
        qInfo("window found and closed after %d attempts", run.attempts);
#endif
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
