// Starts the built program against the simulated DAC with various command
// lines and reads what it echoes. stdbuf makes its standard output unbuffered,
// so the echo, which ends without a line break, arrives while the window is
// still open.
#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

class tst_Startup : public QObject {
    Q_OBJECT
private slots:
    void commandLine_data();
    void commandLine();
};

void tst_Startup::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("echo");

    const QString defaults = QStringLiteral("vid=0x2fc6 pid=0x6013");
    QTest::newRow("plain") << QStringList{"2fc6", "6013"} << defaults;
    QTest::newRow("prefix and upper case") << QStringList{"0x2FC6", "0X6013"} << defaults;
    QTest::newRow("trailing characters") << QStringList{"2fc6zz", "6013"} << defaults;
    QTest::newRow("other device") << QStringList{"1234", "abcd"} << "vid=0x1234 pid=0xabcd";
    QTest::newRow("above 16 bits kept") << QStringList{"12345", "6013"} << "vid=0x12345 pid=0x6013";
    QTest::newRow("no number keeps the default") << QStringList{"xyz", "6013"} << defaults;
    QTest::newRow("Qt option between them")
        << QStringList{"1234", "-style", "fusion", "5678"} << "vid=0x1234 pid=0x5678";
    QTest::newRow("one argument") << QStringList{"2fc6"} << QString();
    QTest::newRow("three arguments") << QStringList{"2fc6", "6013", "1"} << QString();
    QTest::newRow("none") << QStringList{} << QString();
}

void tst_Startup::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, echo);

    QProcess program;
    program.setProcessChannelMode(QProcess::SeparateChannels);
    program.start("stdbuf", QStringList{"-o0", SONVALE_SIM_BINARY, "-platform", "offscreen"} + arguments);
    QVERIFY2(program.waitForStarted(), qPrintable(program.errorString()));

    // Wait for the echo; where none is expected, give the program time to
    // have printed one if it were going to.
    QByteArray output;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < (echo.isEmpty() ? 1500 : 10000)) {
        program.waitForReadyRead(100);
        output += program.readAllStandardOutput();
        if (!echo.isEmpty() && output.size() >= echo.size())
            break;
    }
    const bool stillRunning = program.state() == QProcess::Running;
    program.kill();
    program.waitForFinished();
    output += program.readAllStandardOutput();

    QVERIFY2(stillRunning, program.readAllStandardError().constData());
    QCOMPARE(QString::fromUtf8(output), echo);
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
