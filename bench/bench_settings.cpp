// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// What the program does between device exchanges, per operation: reading a
// preset, converting the block, formatting a report line, and one refresh of
// the window. Whole operations, exchanges and all, are bench_exchanges'.
#include "device/es9038.h"
#include "device/report.h"
#include "settings/es9038state.h"
#include "settings/presetfile.h"
#include "settings/settingsblock.h"
#include "ui/mainwindow.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

class bench_Settings : public QObject {
    Q_OBJECT
private slots:
    void readPreset();
    void swapThdByteOrder();
    void reportToString();
    void volumeDbText();
    void windowRefresh();
};

void bench_Settings::readPreset()
{
    QTemporaryDir dir;
    const QByteArray path = dir.filePath("bench.sonvale").toUtf8();
    SettingsBlock block;
    block.swapThdByteOrder();
    uint8_t bytes[PresetFile::minimumSize];
    std::memcpy(bytes, &block, sizeof block);
    const PresetFile::Checksum sum = PresetFile::checksum(bytes);
    bytes[48] = sum.a;
    bytes[49] = sum.b;
    QFile file(QString::fromUtf8(path));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
    file.close();

    SettingsBlock target;
    QBENCHMARK {
        QVERIFY(target.readPreset(path.constData()));
    }
}

void bench_Settings::swapThdByteOrder()
{
    SettingsBlock block;
    QBENCHMARK {
        block.swapThdByteOrder();
    }
}

void bench_Settings::reportToString()
{
    const uint8_t data[4] = {0x73, 1, 1, 1};
    const Report answer(0x84, 0, 4, data);
    QBENCHMARK {
        answer.toString();
    }
}

void bench_Settings::volumeDbText()
{
    ES9038 dac;
    ES9038State state(&dac);
    QBENCHMARK {
        state.volumeDbText();
    }
}

void bench_Settings::windowRefresh()
{
    ES9038 dac;
    ES9038State state(&dac);
    MainWindow window;
    window.setState(&state);
    QBENCHMARK {
        window.setupOutlets();
    }
}

QTEST_MAIN(bench_Settings)
#include "bench_settings.moc"
