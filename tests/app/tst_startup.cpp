// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// Starts the built programs with various command lines and reads what they
// echo into a file, as a script's redirection or a terminal log would: the
// program as users get it (on Windows a GUI-subsystem program, whose
// redirected standard output must stay where it was sent) and the same
// program against the simulated DAC. The echo ends without a line break,
// and a redirected standard output is fully buffered, so the program must
// flush it for the echo to arrive while the window is still open.
#include "childprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
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
    QTest::addColumn<QStringList>("errors"); // the program's own lines on standard error

    const QString defaults = QStringLiteral("vid=0x2fc6 pid=0x6013");
    const QString notVendor =
        QStringLiteral("sonvale: '%1' is not a hexadecimal vendor identifier; "
                       "it stays 0x2fc6");
    const struct {
        const char* name;
        QStringList arguments;
        QString echo;
        QStringList errors;
    } rows[] = {
        {"plain", {"2fc6", "6013"}, defaults, {}},
        {"prefix and upper case", {"0x2FC6", "0X6013"}, defaults, {}},
        {"trailing characters", {"2fc6zz", "6013"}, defaults, {notVendor.arg("2fc6zz")}},
        // Not 0x12, as sscanf("%x") read it.
        {"digits before garbage",
         {"12zz", "abcd"},
         "vid=0x2fc6 pid=0xabcd",
         {notVendor.arg("12zz")}},
        {"a bare prefix for the product",
         {"1234", "0x"},
         "vid=0x1234 pid=0x6013",
         {"sonvale: '0x' is not a hexadecimal product identifier; it stays 0x6013"}},
        {"other device", {"1234", "abcd"}, "vid=0x1234 pid=0xabcd", {}},
        {"above 16 bits kept", {"12345", "6013"}, "vid=0x12345 pid=0x6013", {}},
        {"no number keeps the default", {"xyz", "6013"}, defaults, {notVendor.arg("xyz")}},
        {"Qt option between them",
         {"1234", "-style", "fusion", "5678"},
         "vid=0x1234 pid=0x5678",
         {}},
        {"one argument", {"2fc6"}, QString(), {}},
        {"three arguments", {"2fc6", "6013", "1"}, QString(), {}},
        {"none", {}, QString(), {}},
    };
    for (const auto& row : rows)
        QTest::addRow("simulated DAC, %s", row.name)
            << QStringLiteral(SONVALE_SIM_BINARY) << row.arguments << row.echo << row.errors;
    // The real libusb is not touched before Connect&Read.
    QTest::newRow("program, other device")
        << QStringLiteral(SONVALE_BINARY) << QStringList{"1234", "abcd"} << "vid=0x1234 pid=0xabcd"
        << QStringList();
    QTest::newRow("program, none")
        << QStringLiteral(SONVALE_BINARY) << QStringList{} << QString() << QStringList();
}

void tst_Startup::commandLine()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QString, echo);
    QFETCH(QStringList, errors);

    const QTemporaryDir console;
    ChildProcess process(program, QStringList{"-platform", "offscreen"} + arguments);
    process.setOutputFiles(QDir(console.path()).filePath("out"),
                           QDir(console.path()).filePath("err"));
    QVERIFY(process.start());

    // Wait for the echo; where none is expected, give the program time to
    // have printed one if it were going to.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < (echo.isEmpty() ? 1500 : 10000) && process.isRunning()) {
        if (!echo.isEmpty() && process.output().size() >= echo.size())
            break;
        process.waitForFinished(100);
    }
    const bool stillRunning = process.isRunning();
    process.kill();
    process.waitForFinished(10000);

    QVERIFY2(stillRunning, process.errors().constData());
    QCOMPARE(QString::fromUtf8(process.output()), echo);
    // Qt may warn there too (the offscreen platform): only the program's
    // own lines are compared.
    QStringList own;
    for (const QString& line : QString::fromUtf8(process.errors()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("sonvale:")))
            own.append(line.trimmed()); // and the \r of a Windows line end
    }
    QCOMPARE(own, errors);
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
