// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The mirror's write-all when the DAC is unplugged at each of its thirteen
// exchanges: nothing crashes, the mirror's copy stays as it is, the windows
// written before the loss stay written on the device, the console shows the
// link's line for the exchange that met the loss and nothing after it, and
// the next reconnect starts afresh. The DAC leaves as Linux and as Windows
// show it.
//
// Every exchange that reaches the DAC costs at least 120 ms of pauses (100 ms after a
// request that fails), so a row takes about 1.5 s; a full re-read after the
// reconnect adds 1.4 s and is done in one row.

#include "mirrorfaults.h"

#include <QTest>

class TestWriteFaults : public QObject {
    Q_OBJECT

private slots:
    void init();
    void unplugDuringWriteAll_data();
    void unplugDuringWriteAll();
};

void TestWriteFaults::init()
{
    UsbSim::reset();
    UsbSim::setBlock(deviceBlock);
}

void TestWriteFaults::unplugDuringWriteAll_data()
{
    addLeavingRows(kWindows + 1, 6);
}

// The mirror holds its defaults and writes them over the device's block; the
// windows written before the DAC went away stay written.
void TestWriteFaults::unplugDuringWriteAll()
{
    QFETCH(int, answers);
    QFETCH(bool, reread);
    QFETCH(bool, windows);
    UsbSim::setWindowsUnplug(windows);

    ES9038 dac;
    ES9038State state(&dac);
    QVERIFY(connectQuietly(dac));
    const QString defaults = shown(state);

    QString expected;
    VirtualDac::Block written = deviceBlock;
    for (int w = 0; w < kWindows; ++w) {
        if (w < answers) {
            expected += response(0x83, uint8_t(4 * w), 4, defaultBlock.data() + 4 * w);
            std::copy(defaultBlock.begin() + 4 * w, defaultBlock.begin() + 4 * w + 4,
                      written.begin() + 4 * w);
        } else if (w == answers) {
            expected += unplugged(windows);   // the link lets go of the DAC here
        }
    }
    if (answers == kWindows)
        expected += unplugged(windows);       // the commit meets the loss
    {
        UnplugAfter unplug(dac, answers);
        ConsoleCapture console;
        state.writeAll();
        QCOMPARE(console.stop(), expected);
    }
    QCOMPARE(shown(state), defaults);
    QCOMPARE(UsbSim::block(), written);
    QCOMPARE(UsbSim::misuses(), std::vector<std::string>());

    replugAndStartAfresh(dac, state, reread, written);
}

QTEST_GUILESS_MAIN(TestWriteFaults)
#include "tst_writefaults.moc"
