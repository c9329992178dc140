// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// Starts the built programs with various command lines and reads what they
// echo through a pipe, as a script or a terminal log would: the program as
// users get it (on Windows a GUI-subsystem program, whose redirected standard
// output must stay where it was sent) and the same program against the
// simulated DAC. The echo ends without a line break, and a piped standard
// output is fully buffered, so the program must flush it for the echo to
// arrive while the window is still open.
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
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("echo");

    const QString defaults = QStringLiteral("vid=0x2fc6 pid=0x6013");
    const struct {
        const char* name;
        QStringList arguments;
        QString echo;
    } rows[] = {
        {"plain", {"2fc6", "6013"}, defaults},
        {"prefix and upper case", {"0x2FC6", "0X6013"}, defaults},
        {"trailing characters", {"2fc6zz", "6013"}, defaults},
        {"other device", {"1234", "abcd"}, "vid=0x1234 pid=0xabcd"},
        {"above 16 bits kept", {"12345", "6013"}, "vid=0x12345 pid=0x6013"},
        {"no number keeps the default", {"xyz", "6013"}, defaults},
        {"Qt option between them", {"1234", "-style", "fusion", "5678"}, "vid=0x1234 pid=0x5678"},
        {"one argument", {"2fc6"}, QString()},
        {"three arguments", {"2fc6", "6013", "1"}, QString()},
        {"none", {}, QString()},
    };
    for (const auto& row : rows)
        QTest::addRow("simulated DAC, %s", row.name)
            << QStringLiteral(SONVALE_SIM_BINARY) << row.arguments << row.echo;
    // The real libusb is not touched before Connect&Read.
    QTest::newRow("program, other device") << QStringLiteral(SONVALE_BINARY) << QStringList{"1234", "abcd"}
                                           << "vid=0x1234 pid=0xabcd";
    QTest::newRow("program, none") << QStringLiteral(SONVALE_BINARY) << QStringList{} << QString();
}

void tst_Startup::commandLine()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QString, echo);

    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, QStringList{"-platform", "offscreen"} + arguments);
    QVERIFY2(process.waitForStarted(), qPrintable(process.errorString()));

    // Wait for the echo; where none is expected, give the program time to
    // have printed one if it were going to.
    QByteArray output;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < (echo.isEmpty() ? 1500 : 10000)) {
        process.waitForReadyRead(100);
        output += process.readAllStandardOutput();
        if (!echo.isEmpty() && output.size() >= echo.size())
            break;
    }
    const bool stillRunning = process.state() == QProcess::Running;
    process.kill();
    process.waitForFinished();
    output += process.readAllStandardOutput();

    QVERIFY2(stillRunning, process.readAllStandardError().constData());
    QCOMPARE(QString::fromUtf8(output), echo);
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
