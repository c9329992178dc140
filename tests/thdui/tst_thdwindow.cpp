// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The THD assistant driven as a user drives it, offscreen, on the simulated
// DAC and analog path (sim/audiosim.h): its controls as everyone meets
// them, its start, and what the tables and the console show of a
// measurement against the model's distortion, the path's gain and the
// interface's inputs. Tunings and maps: tst_thdwindowruns.

#include "assistanttest.h"

#include <QAccessible>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QSpinBox>

#include <libusb.h>

#include <cmath>

namespace {

using namespace AssistantTests;
using namespace TestBytes;

// Counts the times a widget is shown.
class ShowCounter : public QObject {
public:
    using QObject::QObject;
    int shown = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show)
            ++shown;
        return QObject::eventFilter(watched, event);
    }
};

// What a device list held when a button first became enabled.
class EnabledWatch : public QObject {
public:
    EnabledWatch(QWidget* button, const QComboBox* list) : list(list)
    {
        button->installEventFilter(this);
    }
    int listed = -1;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::EnabledChange && listed < 0
            && static_cast<QWidget*>(watched)->isEnabled())
            listed = list->count();
        return QObject::eventFilter(watched, event);
    }

private:
    const QComboBox* list;
};

} // namespace

class TestThdWindow : public AssistantTest {
    Q_OBJECT

private slots:
    void controlsForEveryone_data();
    void controlsForEveryone();
    void tabOrderAndMnemonics();
    void labelsReadAsText();
    void connectsAndLists();
    void dacHeldElsewhere();
    void tryAgainOnlyWhenNotConnected_data();
    void tryAgainOnlyWhenNotConnected();
    void wiringQuestion_data();
    void wiringQuestion();
    void measureShowsTheModel_data();
    void measureShowsTheModel();
    void pathGain_data();
    void pathGain();
    void inputChannels_data();
    void inputChannels();
    void silentInput_data();
    void silentInput();
};

void TestThdWindow::controlsForEveryone_data()
{
    QTest::addColumn<QString>("object");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QAccessible::Role>("role");
    const struct {
        const char* object;
        const char* name;
        QAccessible::Role role;
    } controls[] = {
        {"measureButton", "Measure", QAccessible::Button},
        {"tuneButton", "Tune", QAccessible::Button},
        {"mapButton", "Map", QAccessible::Button},
        {"sweepButton", "Sweep", QAccessible::Button},
        {"cancelButton", "Cancel", QAccessible::Button},
        {"undoButton", "Undo", QAccessible::Button},
        {"saveButton", "Save as preset…", QAccessible::Button},
        {"exportButton", "Export…", QAccessible::Button},
        {"separateCheck", "Separate the interface", QAccessible::CheckBox},
        {"tryAgainButton", "Try again", QAccessible::Button},
        {"outputBox", "Output device", QAccessible::ComboBox},
        {"inputBox", "Input device", QAccessible::ComboBox},
        {"levelSpin", "Level", QAccessible::SpinBox},
        {"frequencySpin", "Frequency", QAccessible::SpinBox},
        {"leftInputSpin", "Left input", QAccessible::SpinBox},
        {"rightInputSpin", "Right input", QAccessible::SpinBox},
        {"volumeSpin", "Tune at volume", QAccessible::SpinBox},
        {"progressBar", "Progress", QAccessible::ProgressBar},
        {"leftTable", "Left channel results", QAccessible::Table},
        {"rightTable", "Right channel results", QAccessible::Table},
        {"separationTable", "The DAC's and the interface's shares", QAccessible::Table},
        {"mapTable", "Pairs by volume", QAccessible::Table},
        {"spectrumPlot", "Spectrum", QAccessible::Client},
        {"problemsLabel", "Problems", QAccessible::StaticText},
        {"connectionLabel", "Connection", QAccessible::StaticText},
    };
    for (const auto& c : controls)
        QTest::newRow(c.object) << QString::fromLatin1(c.object) << QString::fromUtf8(c.name) << c.role;
}

// What a screen reader finds: each control by its role and name, described.
void TestThdWindow::controlsForEveryone()
{
    QFETCH(QString, object);
    QFETCH(QString, name);
    QFETCH(QAccessible::Role, role);
    ThdWindow window;
    auto* widget = window.findChild<QWidget*>(object);
    QVERIFY(widget);
    QAccessibleInterface* read = QAccessible::queryAccessibleInterface(widget);
    QVERIFY(read);
    QCOMPARE(read->text(QAccessible::Name), name);
    QCOMPARE(read->role(), role);
    QVERIFY(read->text(QAccessible::Description).size() > 20);
}

void TestThdWindow::tabOrderAndMnemonics()
{
    ThdWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // Every control is enabled here only once the DAC is open: the order is
    // the form's, whatever is enabled.
    QStringList order;
    QWidget* at = window.findChild<QWidget*>(QStringLiteral("tryAgainButton"));
    // A spin box's own line edit ("qt_spinbox_lineedit") takes its focus.
    for (int i = 0; i < 22 && at; ++i, at = at->nextInFocusChain()) {
        while (at->focusPolicy() == Qt::NoFocus || at->objectName().startsWith(QLatin1String("qt_")))
            at = at->nextInFocusChain();
        order << at->objectName();
    }
    QCOMPARE(order,
             (QStringList{"tryAgainButton", "outputBox",     "inputBox",        "levelSpin",
                          "frequencySpin",  "leftInputSpin", "rightInputSpin",  "volumeSpin",
                          "measureButton",  "tuneButton",    "separateCheck",   "mapButton",
                          "sweepButton",    "cancelButton",   "undoButton",    "saveButton",      "exportButton",
                          "leftTable",      "rightTable",    "separationTable", "spectrumPlot",
                          "mapTable"}));
    const QStringList texts{"&Measure",  "&Tune", "Se&parate the interface", "M&ap", "S&weep",
                            "&Cancel",   "&Undo", "&Save as preset…",        "E&xport…",
                            "T&ry again"};
    QStringList shown;
    for (const char* button :
         {"measureButton", "tuneButton", "separateCheck", "mapButton", "sweepButton", "cancelButton", "undoButton",
          "saveButton", "exportButton", "tryAgainButton"})
        shown << window.findChild<QAbstractButton*>(QLatin1String(button))->text();
    QCOMPARE(shown, texts);
    for (const char* label : {"outputLabel", "inputLabel", "levelLabel", "frequencyLabel",
                              "leftInputLabel", "rightInputLabel", "volumeLabel"}) {
        auto* shownLabel = window.findChild<QLabel*>(QLatin1String(label));
        QVERIFY2(shownLabel->text().contains(QLatin1Char('&')) && shownLabel->buddy(), label);
    }
}

// The labels that say something of their own read as text; a field's label
// reads without its mnemonic marker and names the field.
void TestThdWindow::labelsReadAsText()
{
    ThdWindow window;
    auto* connection = window.findChild<QLabel*>(QStringLiteral("connectionLabel"));
    connection->setText(QStringLiteral("Connected to the DAC 2fc6:6013"));
    QAccessibleInterface* read = QAccessible::queryAccessibleInterface(connection);
    QVERIFY(read->textInterface());
    QCOMPARE(read->textInterface()->text(0, -1), QStringLiteral("Connected to the DAC 2fc6:6013"));
    QCOMPARE(read->textInterface()->characterCount(), 30);
    QCOMPARE(read->text(QAccessible::Name), QStringLiteral("Connection"));

    auto* level = window.findChild<QLabel*>(QStringLiteral("levelLabel"));
    QAccessibleInterface* levelRead = QAccessible::queryAccessibleInterface(level);
    QCOMPARE(levelRead->text(QAccessible::Name), QStringLiteral("Level:"));
    const auto labelled = levelRead->relations(QAccessible::Labelled);
    QCOMPARE(labelled.size(), 1);
    QCOMPARE(labelled.first().first->object(), window.findChild<QObject*>(QStringLiteral("levelSpin")));
}

void TestThdWindow::connectsAndLists()
{
    assistant = std::make_unique<AssistantWindow>();
    AssistantWindow& a = *assistant;
    a.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(a.window.get()));
    // The start is one piece of work: Measure is offered only once the
    // devices are listed, however long listing them takes.
    EnabledWatch watch(a.button("measureButton"), a.widget<QComboBox>("outputBox"));
    a.window->start();
    QTRY_VERIFY_WITH_TIMEOUT(a.idle(), kWaitMs);
    QCOMPARE(watch.listed, 2); // the DAC, and the interface's own outputs
    QCOMPARE(a.window->windowTitle(), QStringLiteral("Sonvale THD assistant"));
    QVERIFY2(a.label("connectionLabel").contains(QLatin1String("Connected")), qPrintable(a.label("connectionLabel")));
    QVERIFY(!a.button("tryAgainButton")->isVisible());
    // The DAC's own output and the interface chosen.
    QVERIFY2(a.widget<QComboBox>("outputBox")->currentText().contains(QLatin1String("(the DAC)")),
             qPrintable(a.widget<QComboBox>("outputBox")->currentText()));
    QCOMPARE(a.widget<QComboBox>("inputBox")->currentText(), QStringLiteral("Sonvale loopback interface"));
    // Only what means something now.
    QVERIFY(a.button("measureButton")->isEnabled());
    QVERIFY(a.button("tuneButton")->isEnabled());
    QVERIFY(!a.button("cancelButton")->isEnabled());
    QVERIFY(!a.button("undoButton")->isEnabled());
    QVERIFY(!a.button("saveButton")->isEnabled());
    QCOMPARE(a.widget<QDoubleSpinBox>("levelSpin")->maximum(), 0.0);
    // Opening reads, never writes.
    QCOMPARE(writes(), QStringList{});
}

void TestThdWindow::dacHeldElsewhere()
{
#ifdef Q_OS_WIN
    QSKIP("only Linux claims the interface (from the kernel's HID driver)");
#endif
    UsbSim::failClaim(LIBUSB_ERROR_BUSY);
    start();
    AssistantWindow& a = *assistant;
    QVERIFY(a.button("tryAgainButton")->isVisible());
    QVERIFY(!a.button("measureButton")->isEnabled());
    QVERIFY(!a.button("tuneButton")->isEnabled());
    QVERIFY2(!a.label("connectionLabel").contains(QLatin1String("Connected")), qPrintable(a.label("connectionLabel")));

    // The other program lets go.
    UsbSim::failClaim(0);
    clickAndWait("tryAgainButton");
    QVERIFY2(a.label("connectionLabel").contains(QLatin1String("Connected")), qPrintable(a.label("connectionLabel")));
    QVERIFY(!a.button("tryAgainButton")->isVisible());
    QVERIFY(a.button("measureButton")->isEnabled());
}

void TestThdWindow::tryAgainOnlyWhenNotConnected_data()
{
    QTest::addColumn<int>("claimError");
    QTest::addColumn<int>("shown");
    QTest::newRow("opened: never shown, not even for an instant") << 0 << 0;
#ifndef Q_OS_WIN
    QTest::newRow("held elsewhere: shown once") << int(LIBUSB_ERROR_BUSY) << 1;
#endif
}

// Try again appears, once, only when the DAC could not be opened: a button
// that flashes up makes the window lay itself out twice and a screen reader
// announce it.
void TestThdWindow::tryAgainOnlyWhenNotConnected()
{
    QFETCH(int, claimError);
    QFETCH(int, shown);
    UsbSim::failClaim(claimError);
    assistant = std::make_unique<AssistantWindow>();
    assistant->window->show();
    QVERIFY(QTest::qWaitForWindowExposed(assistant->window.get()));
    ShowCounter counter;
    assistant->button("tryAgainButton")->installEventFilter(&counter);
    assistant->window->start();
    QTRY_VERIFY_WITH_TIMEOUT(assistant->idle(), kWaitMs);
    QCOMPARE(counter.shown, shown);
    QCOMPARE(assistant->button("tryAgainButton")->isVisible(), shown > 0);
    UsbSim::failClaim(0);
}

void TestThdWindow::wiringQuestion_data()
{
    QTest::addColumn<bool>("cancel");
    QTest::newRow("OK: asked once, then measured twice") << false;
    QTest::newRow("Cancel: nothing happens, asked again") << true;
}

void TestThdWindow::wiringQuestion()
{
    QFETCH(bool, cancel);
    start();
    AssistantWindow& a = *assistant;
    a.dialogs.cancelQuestions = cancel;
    UsbSim::clearLog();
    const QString before = a.console.text();

    a.button("measureButton")->click();
    QTRY_COMPARE(a.dialogs.count(QStringLiteral("question")), 1);
    const SeenDialog& asked = a.dialogs.seen.first();
    QVERIFY(!asked.waitCursor);
    QVERIFY2(asked.text.contains(QLatin1String("output to your audio interface's input")), qPrintable(asked.text));
    QVERIFY2(asked.text.contains(QLatin1String("disconnect speakers and headphones")), qPrintable(asked.text));
    QTRY_VERIFY_WITH_TIMEOUT(a.idle(), kWaitMs);
    if (cancel) {
        QCOMPARE(a.console.text(), before);
        QCOMPARE(requests(), QStringList{});
        QCOMPARE(a.cell(0, ResultTable::ThdDb, ResultTable::Before), QString());
    } else {
        QCOMPARE(a.console.lines(QStringLiteral("measured: ")).size(), 1);
    }

    a.button("measureButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(a.idle(), kWaitMs);
    QTest::qWait(100);
    QCOMPARE(a.dialogs.count(QStringLiteral("question")), cancel ? 2 : 1);
    QCOMPARE(a.console.lines(QStringLiteral("measured: ")).size(), cancel ? 0 : 2);
}

void TestThdWindow::measureShowsTheModel_data()
{
    QTest::addColumn<QByteArray>("analog");
    QTest::addColumn<double>("a2Left");
    QTest::addColumn<double>("a2Right");
    // The factory block's pairs: thd_range0 2nd -300, thd_range1 2nd 45.
    QTest::newRow("the defaults") << QByteArray("noise=-150") << 2e-5 - 300e-7 << -1.2e-5 + 45e-7;
    QTest::newRow("stronger, swapped")
        << QByteArray("noise=-150,h2l=1e-4,h2r=-6e-5,map=swapped") << 1e-4 + 45e-7 << -6e-5 - 300e-7;
}

// A tone of peak A through y = v + a2·v² puts a2·A/2 at 2f against the
// fundamental: the table's H2 must read that, at the fundamental it shows.
void TestThdWindow::measureShowsTheModel()
{
    QFETCH(QByteArray, analog);
    QFETCH(double, a2Left);
    QFETCH(double, a2Right);
    start(analog);
    AssistantWindow& a = *assistant;
    UsbSim::clearLog();
    clickAndWait("measureButton");

    const QStringList lines = a.console.lines(QStringLiteral("measured: "));
    QCOMPARE(lines.size(), 1);
    const QStringList printed = thdFigures(lines.first());
    QCOMPARE(printed.size(), 2);
    const double a2[] = {a2Left, a2Right};
    for (int channel = 0; channel < 2; ++channel) {
        QCOMPARE(a.cell(channel, ResultTable::ThdDb, ResultTable::Before), printed[channel]);
        const double fundamental = a.cell(channel, ResultTable::Fundamental, ResultTable::Before).toDouble();
        const double expected = 20 * std::log10(std::abs(a2[channel]) * std::pow(10, fundamental / 20) / 2);
        const double shown = a.cell(channel, ResultTable::harmonicRow(2), ResultTable::Before).toDouble();
        QVERIFY2(std::abs(shown - expected) < 0.3,
                 qPrintable(QStringLiteral("channel %1: H2 %2 dBc, the model %3").arg(channel).arg(shown).arg(expected)));
        // y = v + a2·v² with a2 > 0 puts H2 at 0°, with a2 < 0 at 180°.
        const double phase = a.cell(channel, ResultTable::phaseRow(2), ResultTable::Before).toDouble();
        QVERIFY2(std::abs(std::remainder(phase - (a2[channel] > 0 ? 0 : 180), 360)) < 3,
                 qPrintable(QStringLiteral("channel %1: H2 at %2°").arg(channel).arg(phase)));
        QCOMPARE(a.cell(channel, ResultTable::ThdDb, ResultTable::After), QString());
    }
    QCOMPARE(a.label("problemsLabel"), QStringLiteral("No problems: the capture is clean."));
    QCOMPARE(writes(), QStringList{});
}

void TestThdWindow::pathGain_data()
{
    QTest::addColumn<QByteArray>("button");
    QTest::addColumn<double>("volume"); // the volume spin box's; its minimum: the DAC's own
    QTest::addColumn<QString>("fundamental");
    QTest::addColumn<QString>("after");
    QTest::addColumn<QString>("said"); // the console's line ends with it
    QTest::newRow("Measure at the DAC's -12.5 dB")
        << QByteArray("measureButton") << -200.0 << "-24.50" << QString() << " dB";
    QTest::newRow("Tune at -15 dB") << QByteArray("tuneButton") << -15.0 << "-27.00"
                                    << "-9.00"
                                    << " dB; run at -15.0 dB, the volume held before is back";
}

// The interface's input 9 dB down: a path gain of -9 dB on each channel,
// before and after, and no problem made of it, at the volume played. A
// tuning at a volume of its own puts the DAC's back.
void TestThdWindow::pathGain()
{
    QFETCH(QByteArray, button);
    QFETCH(double, volume);
    QFETCH(QString, fundamental);
    QFETCH(QString, after);
    QFETCH(QString, said);
    start("gain=-9,noise=-150");
    AssistantWindow& a = *assistant;
    const QByteArray held = bytesOf(UsbSim::block());
    a.widget<QDoubleSpinBox>("volumeSpin")->setValue(volume);
    UsbSim::clearLog();
    clickAndWait(button.constData());
    for (int channel = 0; channel < 2; ++channel) {
        QCOMPARE(a.cell(channel, ResultTable::Fundamental, ResultTable::Before), fundamental);
        QCOMPARE(a.cell(channel, ResultTable::PathGain, ResultTable::Before),
                 QStringLiteral("-9.00"));
        QCOMPARE(a.cell(channel, ResultTable::PathGain, ResultTable::After), after);
    }
    QCOMPARE(a.label("problemsLabel"), QStringLiteral("No problems: the capture is clean."));
    const QStringList lines =
        a.console.lines(QStringLiteral("measured: ")) + a.console.lines(QStringLiteral("tuned: "));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().endsWith(said), qPrintable(lines.first()));
    // The volume held, -12.5 dB, is what the DAC holds again, set last.
    QCOMPARE(bytesOf(UsbSim::block()).mid(4, 2), held.mid(4, 2));
    const QStringList volumes = requests().filter(QRegularExpression(QStringLiteral("^06 ")));
    if (!after.isEmpty())
        QCOMPARE(volumes, (QStringList{"06 00 02 1E 1E 00 00", "06 00 02 19 19 00 00"}));
    else
        QCOMPARE(volumes, QStringList());
}

void TestThdWindow::inputChannels_data()
{
    QTest::addColumn<int>("left");
    QTest::addColumn<int>("right");
    QTest::addColumn<bool>("tone");
    QTest::newRow("inputs 1 and 2: the interface's noise") << 1 << 2 << false;
    QTest::newRow("inputs 3 and 4: the tone") << 3 << 4 << true;
}

// The DAC wired to inputs 3 and 4 of a four-input interface: those two
// record it, the first two only the interface's noise.
void TestThdWindow::inputChannels()
{
    QFETCH(int, left);
    QFETCH(int, right);
    QFETCH(bool, tone);
    start("inputs=4,route=3,4");
    AssistantWindow& a = *assistant;
    auto* leftSpin = a.widget<QSpinBox>("leftInputSpin");
    auto* rightSpin = a.widget<QSpinBox>("rightInputSpin");
    QCOMPARE(leftSpin->maximum(), 4);
    QCOMPARE(rightSpin->maximum(), 4);
    leftSpin->setValue(left);
    rightSpin->setValue(right);
    clickAndWait("measureButton");
    QCOMPARE(a.console.lines(QStringLiteral("measured: ")).size(), 1);
    QCOMPARE(a.label("problemsLabel").startsWith(QLatin1String("No signal reached the input")),
             !tone);
    for (int channel = 0; channel < 2; ++channel)
        QCOMPARE(a.cell(channel, ResultTable::ThdDb, ResultTable::Before) != QStringLiteral("-"),
                 tone);
}

void TestThdWindow::silentInput_data()
{
    QTest::addColumn<QByteArray>("button");
    QTest::newRow("Measure") << QByteArray("measureButton");
    QTest::newRow("Tune") << QByteArray("tuneButton");
}

void TestThdWindow::silentInput()
{
    QFETCH(QByteArray, button);
    start("input=silent");
    AssistantWindow& a = *assistant;
    const QByteArray held = bytesOf(UsbSim::block());
    UsbSim::clearLog();
    clickAndWait(button.constData());

    QVERIFY2(a.label("problemsLabel").contains(QLatin1String("No signal reached the input: connect the DAC's output "
                                                             "to the interface's input and choose that input.")),
             qPrintable(a.label("problemsLabel")));
    for (int channel = 0; channel < 2; ++channel)
        QCOMPARE(a.cell(channel, ResultTable::ThdDb, ResultTable::Before), QStringLiteral("-"));
    QCOMPARE(bytesOf(UsbSim::block()), held);
    QVERIFY(!a.button("saveButton")->isEnabled());
    if (button == "tuneButton")
        QCOMPARE(a.console.lines(QStringLiteral("not tuned: ")).size(), 1);
    else
        QCOMPARE(writes(), QStringList{});
}

QTEST_MAIN(TestThdWindow)
#include "tst_thdwindow.moc"
