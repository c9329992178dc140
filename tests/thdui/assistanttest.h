// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// What the window's suites share: the window started afresh for each test
// on the simulated DAC and analog path, its history in a scratch folder,
// and how the DAC's block, its requests and the console's lines are read.

#include "testbytes.h"
#include "thdwindowdriver.h"
#include "usbsim.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <array>
#include <memory>

namespace AssistantTests {

constexpr int kWaitMs = 60000;

// thd_range0..2 of a block in device order: [pair][0] 2nd, [pair][1] 3rd.
inline std::array<std::array<int, 2>, 3> thdPairs(const QByteArray& block)
{
    std::array<std::array<int, 2>, 3> pairs{};
    for (int pair = 0; pair < 3; ++pair) {
        for (int which = 0; which < 2; ++which) {
            const int at = 10 + 4 * pair + 2 * which;
            pairs[pair][which] = int16_t(uint16_t(uint8_t(block[at]) << 8 | uint8_t(block[at + 1])));
        }
    }
    return pairs;
}

inline QStringList writes()
{
    return TestBytes::requests().filter(QRegularExpression(QStringLiteral("^03 ")));
}

// "measured: left THD -98.21 dB, right THD -97.90 dB": the two figures.
inline QStringList thdFigures(const QString& line)
{
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral(": left THD (\\S+) dB, right THD (\\S+) dB$")).match(line.trimmed());
    return m.hasMatch() ? QStringList{m.captured(1), m.captured(2)} : QStringList{};
}

} // namespace AssistantTests

// The fixture: each test starts from the factory DAC, no analog settings
// and an empty history, and ends without a wait cursor left over.
class AssistantTest : public QObject {
    Q_OBJECT

protected slots:
    void initTestCase();
    void init();
    void cleanup();

protected:
    // Shows the window, lets it connect and answers nothing yet.
    void start(const QByteArray& analog = {});
    void clickAndWait(const char* button);

    std::unique_ptr<AssistantWindow> assistant;
    QTemporaryDir scratch;
};

inline void AssistantTest::initTestCase()
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QVERIFY(scratch.isValid());
    // The history of tunings goes here, not into the user's.
    qputenv("XDG_DATA_HOME", QFile::encodeName(scratch.filePath(QStringLiteral("data"))));
}

inline void AssistantTest::init()
{
    UsbSim::reset();
    qunsetenv("SONVALE_SIM_ANALOG");
}

inline void AssistantTest::cleanup()
{
    assistant.reset();
    QVERIFY2(!QApplication::overrideCursor(), "the wait cursor outlived the work");
    QDir(scratch.filePath(QStringLiteral("data"))).removeRecursively();
}

inline void AssistantTest::start(const QByteArray& analog)
{
    if (!analog.isEmpty())
        qputenv("SONVALE_SIM_ANALOG", analog);
    assistant = std::make_unique<AssistantWindow>();
    assistant->window->show();
    QVERIFY(QTest::qWaitForWindowExposed(assistant->window.get()));
    assistant->window->start();
    QTRY_VERIFY_WITH_TIMEOUT(assistant->idle(), AssistantTests::kWaitMs);
}

inline void AssistantTest::clickAndWait(const char* button)
{
    QPushButton* pressed = assistant->button(button);
    QVERIFY(pressed->isEnabled());
    pressed->click();
    QTRY_VERIFY_WITH_TIMEOUT(assistant->idle(), AssistantTests::kWaitMs);
}
