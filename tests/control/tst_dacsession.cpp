// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// A session with the simulated DAC: a volume set and read back, as a run
// that moved the volume puts it back.

#include "control/dacsession.h"

#include "consolecapture.h"
#include "testbytes.h"
#include "usbsim.h"

#include <QTest>

class TestDacSession : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void volumeVerified_data();
    void volumeVerified();
};

void TestDacSession::init()
{
    UsbSim::reset();
}

void TestDacSession::cleanup()
{
    QCOMPARE(UsbSim::liveHandles(), 0);
    QCOMPARE(UsbSim::misuses().size(), size_t(0));
}

// The volume command, then the read of its window; a DAC that answers the
// command but keeps its volume is a failure of the DAC.
void TestDacSession::volumeVerified_data()
{
    QTest::addColumn<bool>("keepsBlock");
    QTest::addColumn<QString>("cause");

    QTest::newRow("taken") << false << QString();
    QTest::newRow("not taken") << true << "the volume read back differs from what was sent";
}

void TestDacSession::volumeVerified()
{
    QFETCH(bool, keepsBlock);
    QFETCH(QString, cause);

    const QByteArray before = TestBytes::bytesOf(UsbSim::block());
    Error error;
    {
        DacSession session(0x2fc6, 0x6013);
        ConsoleCapture quiet; // the link prints each answer
        error = session.open();
        UsbSim::dac().setKeepsBlock(keepsBlock);
        UsbSim::clearLog();
        if (!error)
            error = session.setVolumeVerified(0x10, 0x20);
    }
    QCOMPARE(QString::fromStdString(error.cause), cause);
    QVERIFY(error.kind == (keepsBlock ? Error::Kind::Device : Error::Kind::None));
    QCOMPARE(TestBytes::requests(), (QStringList{"06 00 02 10 20 00 00", "04 04 04 00 00 00 00"}));
    QCOMPARE(TestBytes::bytesOf(UsbSim::block()),
             keepsBlock ? before : TestBytes::patched(before, 4, "10 20"));
}

QTEST_GUILESS_MAIN(TestDacSession)
#include "tst_dacsession.moc"
