// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The main window driven as a user drives it, offscreen, against the
// simulated DAC: what the user sees (window title, widgets, message boxes,
// the file dialog) and what the device receives (the bytes of each request).
// Widgets are found by object name.

#include "consolecapture.h"
#include "filedialoganswer.h"
#include "modalwatch.h"
#include "testbytes.h"
#include "unplugafter.h"
#include "device/es9038.h"
#include "settings/es9038state.h"
#include "ui/mainwindow.h"
#include "usbsim.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <libusb.h>

#include <memory>

namespace {

using Block = VirtualDac::Block;
using namespace TestBytes;

const QString kDisconnected = QStringLiteral("Sonvale_Control : Disconnected");
const QString kConnected = QStringLiteral("Sonvale_Control : Connected");
const QString kInit = QStringLiteral("Sonvale_Control : Init...");

// A settings block in device order that differs from the factory block and
// from the program's defaults in every field the window shows; its byte 0
// (hardware type) is 'A'.
const QByteArray kPresetBlock = hex("41 02 00 01 28 28 00 FF 3C 00"
                                    "03 E8 FF F9"      // left: 2nd 1000, 3rd -7
                                    "FB 2E 00 4D"      // right: 2nd -1234, 3rd 77
                                    "FF FC 00 19 00 00"
                                    "03 0F 0F 0F 0F 0F 0F 0F 00 00 00 00"
                                    "60 20 20 20 20 20 20 20 20 20 20 20");

// The preset block as the device holds it after an import: the hardware
// type stays the device's own.
QByteArray importedBlock()
{
    QByteArray bytes = kPresetBlock;
    bytes[0] = 0x73;
    return bytes;
}

QStringList blockRequests(const char* command, const QByteArray& block)
{
    QStringList result;
    for (int address = 0; address < 48; address += 4)
        result << QStringLiteral("%1 %2 04 %3")
                      .arg(QLatin1String(command))
                      .arg(address, 2, 16, QLatin1Char('0'))
                      .arg(command == QByteArray("03") ? spacedHex(block.mid(address, 4))
                                                       : QStringLiteral("00 00 00 00"))
                      .toUpper();
    return result;
}

QStringList fullRead()
{
    return blockRequests("04", {});
}

QStringList fullWrite(const QByteArray& block)
{
    return blockRequests("03", block) << QStringLiteral("05 00 00 00 00 00 00");
}

// What the program wrote to the console, without the link's log of answers.
QStringList windowLines(const QString& console)
{
    QStringList lines;
    for (const QString& line : console.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (!line.startsWith(QLatin1String("Response: ")))
            lines << line;
    }
    return lines;
}

template <typename T>
T* widget(const QWidget& window, const char* name)
{
    T* w = window.findChild<T*>(QLatin1String(name));
    if (!w)
        qFatal("no widget %s", name);
    return w;
}

// The editable widgets as the user reads them.
QStringList widgets(int slider, const QString& label, int left2nd, int left3rd, int right2nd,
                    int right3rd, const QString& mclk, const QString& filter)
{
    return {QStringLiteral("volume slider %1").arg(slider),
            QStringLiteral("volume label %1").arg(label),
            QStringLiteral("left 2nd %1").arg(left2nd),
            QStringLiteral("left 3rd %1").arg(left3rd),
            QStringLiteral("right 2nd %1").arg(right2nd),
            QStringLiteral("right 3rd %1").arg(right3rd),
            QStringLiteral("MCLK %1").arg(mclk),
            QStringLiteral("filter %1").arg(filter)};
}

QStringList shown(const QWidget& w)
{
    return widgets(widget<QSlider>(w, "volumeSlider")->value(),
                   widget<QLabel>(w, "label")->text(),
                   widget<QSpinBox>(w, "secondThdEdit")->value(),
                   widget<QSpinBox>(w, "thirdThdEdit")->value(),
                   widget<QSpinBox>(w, "secondThdEdit_2")->value(),
                   widget<QSpinBox>(w, "thirdThdEdit_2")->value(),
                   widget<QComboBox>(w, "mclkBox")->currentText(),
                   widget<QComboBox>(w, "filterBox")->currentText());
}

// The program's own defaults, and the simulated DAC's factory block.
const QStringList kDefaultWidgets =
    widgets(255, "0dB", 0, 130, 0, 130, "15", "Linear phase apo");
const QStringList kFactoryWidgets =
    widgets(230, "-12.5dB", -300, 260, 45, -120, "15", "Min phase fast");
const QStringList kPresetWidgets =
    widgets(215, "-20dB", 1000, -7, -1234, 77, "3", "Linear ph fast low rpl");

// A modal window as it came up, with the main window as it was at that moment.
struct Modal {
    QString kind;                // "box", "file dialog" or the class name
    QString title;
    QString text;                // box
    bool parentIsWindow = false;
    bool okOnly = false;         // box: a single Ok button
    bool information = false;    // box: the information icon
    QString directory;           // file dialog
    QStringList nameFilters;     // file dialog
    QString windowTitle;
    QStringList windowWidgets;
    bool waitCursor = false;     // it came up with the wait cursor still shown
};

// Answers every modal window that comes up while it lives: a message box
// with Ok, the file dialog by choosing `fileToChoose` (empty: cancel), and
// anything else by closing it. Records what each showed.
class ModalHandler : public ModalWatch {
public:
    explicit ModalHandler(QWidget* window, QString fileToChoose = {})
        : ModalWatch(10), window(window), file(std::move(fileToChoose))
    {
    }

    QList<Modal> seen;

    QStringList boxes() const
    {
        QStringList result;
        for (const Modal& m : seen)
            result << m.kind + QLatin1Char(' ') + m.title + QStringLiteral(": ") + m.text
                          + (m.waitCursor ? QStringLiteral(" (wait cursor)") : QString());
        return result;
    }

private:
    void note(QWidget* w) override { seen << record(w); }

    Modal record(QWidget* w) const
    {
        Modal m;
        m.kind = QString::fromLatin1(w->metaObject()->className());
        m.title = w->windowTitle();
        m.parentIsWindow = w->parentWidget() == window;
        m.windowTitle = window->windowTitle();
        m.windowWidgets = shown(*window);
        m.waitCursor = QApplication::overrideCursor() != nullptr;
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            m.kind = QStringLiteral("box");
            m.text = box->text();
            m.okOnly = box->standardButtons() == QMessageBox::StandardButtons(QMessageBox::Ok);
            m.information = box->icon() == QMessageBox::Information;
        } else if (auto* dialog = qobject_cast<QFileDialog*>(w)) {
            m.kind = QStringLiteral("file dialog");
            m.directory = dialog->directory().absolutePath();
            m.nameFilters = dialog->nameFilters();
        }
        return m;
    }

    void answer(QWidget* w) override
    {
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->reject();
        } else if (auto* dialog = qobject_cast<QFileDialog*>(w)) {
            answerFileDialog(dialog, file);
        } else {
            w->close();
        }
    }

    QWidget* window;
    QString file;
};

// The long-lived objects of the program, as start-up builds them.
struct Program {
    ES9038 dac;
    ES9038State state{&dac};
    MainWindow window;
    QStringList titles;

    // Every title after the first is set while the window works with the
    // device, under the wait cursor: a title set without it is marked.
    Program()
    {
        QObject::connect(&window, &QWidget::windowTitleChanged, &window,
                         [this](const QString& title) {
                             const QCursor* cursor = QApplication::overrideCursor();
                             const bool waiting = cursor && cursor->shape() == Qt::WaitCursor;
                             titles << title + (waiting ? "" : " (no wait cursor)");
                         });
    }
};

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startsWithoutDevice();
    void connectAndRead_data();
    void connectAndRead();
    void connectionFails_data();
    void connectionFails();
    void deviceDoesNotAnswer_data();
    void deviceDoesNotAnswer();
    void deviceLeaves_data();
    void deviceLeaves();
    void editSendsAtOnce_data();
    void editSendsAtOnce();
    void typingSendsEachValue_data();
    void typingSendsEachValue();
    void choosingEntryRefreshes_data();
    void choosingEntryRefreshes();
    void presetBrowser_data();
    void presetBrowser();
    void menuActions_data();
    void menuActions();
    void thdTest_data();
    void thdTest();
    void slotsBeforeMirror_data();
    void slotsBeforeMirror();

private:
    // Attaches the mirror and shows the window as start-up does; with
    // `deviceOpen` the link is opened first (no read), so that edits reach
    // the device without the cost of a full read. Clears the logs.
    void start(bool deviceOpen);

    std::unique_ptr<Program> program;
    QString startDir;
};

void TestMainWindow::initTestCase()
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    startDir = QDir::currentPath();
}

void TestMainWindow::init()
{
    UsbSim::reset();
    program = std::make_unique<Program>();
}

void TestMainWindow::cleanup()
{
    program.reset();
    QDir::setCurrent(startDir);
    QVERIFY2(!QApplication::overrideCursor(), "the wait cursor outlived the operation");
}

void TestMainWindow::start(bool deviceOpen)
{
    if (deviceOpen)
        QVERIFY(program->dac.reconnect());
    program->window.setState(&program->state);
    program->window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&program->window));
    UsbSim::clearLog();
    program->titles.clear();
}

void TestMainWindow::startsWithoutDevice()
{
    ModalHandler modals(&program->window);
    program->window.setState(&program->state);
    program->window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&program->window));

    QCOMPARE(program->titles, QStringList{kDisconnected + " (no wait cursor)"});
    QCOMPARE(program->window.windowTitle(), kDisconnected);
    QCOMPARE(shown(program->window), kDefaultWidgets);
    QVERIFY(UsbSim::calls().empty());
    QCOMPARE(modals.boxes(), QStringList{});
}

void TestMainWindow::connectAndRead_data()
{
    QTest::addColumn<QByteArray>("deviceBlock");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("factory block") << bytesOf(VirtualDac::factoryBlock()) << kFactoryWidgets;

    // -32768 lies below the spin boxes' range, 16 is no MCLK row, and the
    // quietest volume below the slider's range: the widgets show what they
    // can, and nothing of it goes back to the device.
    QByteArray limits = bytesOf(VirtualDac::factoryBlock());
    limits.replace(4, 2, hex("FF FF"));
    limits.replace(10, 2, hex("80 00"));
    limits.replace(16, 2, hex("7F FF"));
    limits[24] = 0x10;
    limits[36] = char(0xFF);
    QTest::newRow("values at the widgets' limits")
        << limits << widgets(1, "-127.5dB", -32767, 260, 45, 32767, "", "Min ph slow low disp");
}

void TestMainWindow::connectAndRead()
{
    QFETCH(QByteArray, deviceBlock);
    QFETCH(QStringList, expected);
    UsbSim::setBlock(blockOf(deviceBlock));
    start(false);
    ModalHandler modals(&program->window);
    auto* button = widget<QPushButton>(program->window, "startDRTestBtn");

    // Pressing alone does nothing; the release of the button connects.
    QTest::mousePress(button, Qt::LeftButton);
    QVERIFY(UsbSim::calls().empty());
    QTest::mouseRelease(button, Qt::LeftButton);

    QCOMPARE(program->titles, (QStringList{kInit, kConnected}));
    QCOMPARE(shown(program->window), expected);
    QCOMPARE(requests(), fullRead());
    QCOMPARE(bytesOf(UsbSim::block()), deviceBlock);
    QCOMPARE(modals.boxes(), QStringList{});
}

void TestMainWindow::connectionFails_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("titles");

    QTest::newRow("no device") << "no device" << QStringList{};
    QTest::newRow("device cannot be opened") << "open fails" << QStringList{};
    QTest::newRow("device unplugged since the last connection")
        << "unplugged" << QStringList{kDisconnected};
}

void TestMainWindow::connectionFails()
{
    QFETCH(QString, fault);
    QFETCH(QStringList, titles);
    start(fault == QLatin1String("unplugged"));
    if (fault == QLatin1String("no device"))
        UsbSim::setDevices({});
    else if (fault == QLatin1String("open fails"))
        UsbSim::failOpen(LIBUSB_ERROR_ACCESS);
    else
        UsbSim::unplug();
    // A value the mirror does not hold: the refresh puts the mirror's back.
    {
        QSignalBlocker quiet(widget<QSpinBox>(program->window, "secondThdEdit"));
        widget<QSpinBox>(program->window, "secondThdEdit")->setValue(999);
    }
    ModalHandler modals(&program->window);

    QTest::mouseClick(widget<QPushButton>(program->window, "startDRTestBtn"), Qt::LeftButton);

    QCOMPARE(modals.boxes(), QStringList{"box Warning: Connection is not successful."});
    const Modal& box = modals.seen.first();
    QVERIFY(box.parentIsWindow);
    QVERIFY(box.okOnly);
    QVERIFY(box.information);
    QCOMPARE(box.windowTitle, kDisconnected);
    QCOMPARE(box.windowWidgets, kDefaultWidgets);
    QCOMPARE(program->titles, titles);
    QCOMPARE(program->window.windowTitle(), kDisconnected);
    QCOMPARE(requests(), QStringList{});
}

void TestMainWindow::deviceDoesNotAnswer_data()
{
    QTest::addColumn<int>("fault");     // every request fails with it; 0: silent, 1: invalid answers
    QTest::newRow("silent device") << 0;
    QTest::newRow("answers without the valid bit") << 1;
    QTest::newRow("stalls") << int(LIBUSB_ERROR_PIPE);
    QTest::newRow("I/O error") << int(LIBUSB_ERROR_IO);
}

// A device still on the bus keeps its connection: the read and the edit
// after it reach it, the title stays, and the window keeps the edit.
void TestMainWindow::deviceDoesNotAnswer()
{
    QFETCH(int, fault);
    start(false);
    UsbSim::dac().setSilent(fault == 0);
    UsbSim::dac().setAnswersInvalid(fault == 1);
    UsbSim::failTransfers(std::min(fault, 0));
    ModalHandler modals(&program->window);

    QTest::mouseClick(widget<QPushButton>(program->window, "startDRTestBtn"), Qt::LeftButton);
    widget<QSlider>(program->window, "volumeSlider")->setValue(200);

    QCOMPARE(program->titles, QStringList{kInit});
    QCOMPARE(program->window.windowTitle(), kInit);
    QCOMPARE(shown(program->window), widgets(200, "-27.5dB", 0, 130, 0, 130, "15", "Linear phase apo"));
    QCOMPARE(requests(), fullRead() << "06 00 02 37 37 00 00");
    QVERIFY(program->dac.isConnected());
    QCOMPARE(modals.boxes(), QStringList{});
}

void TestMainWindow::deviceLeaves_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("answers");          // the DAC leaves after this many
    QTest::addColumn<QStringList>("titles");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<bool>("windows");         // it leaves as Windows' HID driver shows it

    const QStringList edited = widgets(200, "-27.5dB", 0, 130, 0, 130, "15", "Linear phase apo");
    const QStringList mclkEdited = widgets(255, "0dB", 0, 130, 0, 130, "3", "Linear phase apo");
    for (bool windows : {false, true}) {
        const char* way = windows ? ", Windows" : "";
        QTest::addRow("volume edit%s", way) << "volume" << 0 << QStringList{kDisconnected}
                                            << QStringList{} << edited << windows;
        for (int n : {0, 1})
            QTest::addRow("MCLK edit, after %d answers%s", n, way)
                << "mclk" << n << QStringList{kDisconnected} << QStringList{} << mclkEdited << windows;
        for (int n : {0, 5, 11})
            QTest::addRow("Connect&Read, after %d answers%s", n, way)
                << "connect" << n << QStringList{kInit, kDisconnected} << QStringList{}
                << kDefaultWidgets << windows;
        for (int n : {0, 1, 12})
            QTest::addRow("preset import, after %d answers%s", n, way)
                << "import" << n << QStringList{kDisconnected}
                << QStringList{"box Info: Success import."} << kDefaultWidgets << windows;
        for (int n : {0, 1})
            QTest::addRow("factory restore, after %d answers%s", n, way)
                << "factory" << n << QStringList{kDisconnected} << QStringList{} << kDefaultWidgets << windows;
    }
}

// The DAC leaves the bus during an operation: the link lets go of it at the
// first exchange that meets its absence, the title says so, the window keeps
// the user's edit, and a Connect&Read once it is back starts afresh.
void TestMainWindow::deviceLeaves()
{
    QFETCH(QString, operation);
    QFETCH(int, answers);
    QFETCH(QStringList, titles);
    QFETCH(QStringList, boxes);
    QFETCH(QStringList, after);
    QFETCH(bool, windows);
    UsbSim::setWindowsUnplug(windows);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString preset = QDir(dir.path()).filePath(QStringLiteral("good.sonvale"));
    QVERIFY(writeFile(preset, presetFile(kPresetBlock)));
    start(operation != QLatin1String("connect"));
    // Connect&Read opens the DAC anew first: it can only leave once it is open.
    std::unique_ptr<UnplugAfter> unplug;
    bool armed = operation == QLatin1String("connect");
    QObject::connect(&program->window, &QWidget::windowTitleChanged, &program->window,
                     [&](const QString& title) {
                         if (armed && title == kInit) {
                             armed = false;
                             unplug = std::make_unique<UnplugAfter>(program->dac, answers);
                         }
                     });
    if (!armed)
        unplug = std::make_unique<UnplugAfter>(program->dac, answers);
    ModalHandler modals(&program->window, preset);

    ConsoleCapture console;
    if (operation == QLatin1String("volume"))
        widget<QSlider>(program->window, "volumeSlider")->setValue(200);
    else if (operation == QLatin1String("mclk"))
        widget<QComboBox>(program->window, "mclkBox")->setCurrentIndex(3);
    else if (operation == QLatin1String("connect"))
        QTest::mouseClick(widget<QPushButton>(program->window, "startDRTestBtn"), Qt::LeftButton);
    else if (operation == QLatin1String("import"))
        QVERIFY(QMetaObject::invokeMethod(&program->window, "onFileBrowserClick"));
    else
        QVERIFY(QMetaObject::invokeMethod(&program->window, "onRestoreFactoryClick"));
    const QString output = console.stop();
    unplug.reset();

    QCOMPARE(output.count(QString::asprintf("Error sending data over usb.(ret=%d\n", windows ? -1 : -4)), 1);
    QVERIFY(!output.contains(QLatin1String("Usb response error")));
    QCOMPARE(program->titles, titles);
    QStringList shownBoxes = modals.boxes().filter(QStringLiteral("box "));
    QCOMPARE(shownBoxes, boxes);
    for (const Modal& box : modals.seen)
        if (box.kind == QLatin1String("box"))
            QCOMPARE(box.windowTitle, kDisconnected);
    QCOMPARE(shown(program->window), after);
    QVERIFY(!program->dac.isConnected());
    QCOMPARE(UsbSim::liveContexts(), 0);
    QCOMPARE(UsbSim::liveHandles(), 0);
    QCOMPARE(UsbSim::misuses(), std::vector<std::string>());

    // An edit now changes only the window's copy.
    UsbSim::clearLog();
    widget<QSpinBox>(program->window, "secondThdEdit")->setValue(-5);
    QVERIFY(UsbSim::calls().empty());
    QCOMPARE(program->window.windowTitle(), kDisconnected);

    // The DAC is back: Connect&Read opens it anew and shows what it holds.
    UsbSim::setDevices({UsbSim::Device()});
    program->titles.clear();
    QTest::mouseClick(widget<QPushButton>(program->window, "startDRTestBtn"), Qt::LeftButton);
    QCOMPARE(program->titles, (QStringList{kInit, kConnected}));
    QCOMPARE(requests().mid(requests().size() - 12), fullRead());
    QCOMPARE(UsbSim::liveContexts(), 1);
    QCOMPARE(UsbSim::liveHandles(), 1);
}

void TestMainWindow::editSendsAtOnce_data()
{
    QTest::addColumn<bool>("device");
    QTest::addColumn<QString>("entryBox");   // selects the entry first
    QTest::addColumn<int>("entryRow");
    QTest::addColumn<QString>("edited");
    QTest::addColumn<int>("value");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("blockAt");        // where the device block changes
    QTest::addColumn<QByteArray>("blockBytes");

    struct Edit {
        const char* tag;
        const char* entryBox;
        int entryRow;
        const char* edited;
        int value;
        QStringList sent;
        const char* line;
        const char* label;
        int blockAt;
        const char* blockBytes;
    };
    const Edit edits[] = {
        {"volume slider to 100", "", 0, "volumeSlider", 100, {"06 00 02 9B 9B 00 00"}, nullptr,
         "-77.5dB", 4, "9B 9B"},
        {"volume slider to 1", "", 0, "volumeSlider", 1, {"06 00 02 FE FE 00 00"}, nullptr,
         "-127dB", 4, "FE FE"},
        {"left 2nd to -300", "", 0, "secondThdEdit", -300, {"03 0A 04 FE D4 00 82"},
         "onSecondThdEdit:", "0dB", 10, "FE D4 00 82"},
        {"left 2nd to 32767", "", 0, "secondThdEdit", 32767, {"03 0A 04 7F FF 00 82"},
         "onSecondThdEdit:", "0dB", 10, "7F FF 00 82"},
        {"left 3rd to 260", "", 0, "thirdThdEdit", 260, {"03 0A 04 00 00 01 04"},
         "onThirdThdEdit:", "0dB", 10, "00 00 01 04"},
        {"right 2nd to 45", "", 0, "secondThdEdit_2", 45, {"03 0E 04 00 2D 00 82"},
         "onSecondThdEdit:", "0dB", 14, "00 2D 00 82"},
        {"right 3rd to -120", "", 0, "thirdThdEdit_2", -120, {"03 0E 04 00 00 FF 88"},
         "onThirdThdEdit:", "0dB", 14, "00 00 FF 88"},
        {"right 3rd to -32767", "", 0, "thirdThdEdit_2", -32767, {"03 0E 04 00 00 80 01"},
         "onThirdThdEdit:", "0dB", 14, "00 00 80 01"},
        {"IDAC_NUM to 0", "mclkFreqBox", 0, "mclkBox", 0,
         {"03 18 04 00 0F 0F 0F", "03 1C 04 0F 0F 0F 0F"}, nullptr, "0dB", 24,
         "00 0F 0F 0F 0F 0F 0F 0F"},
        {"MASTER_BCK to 5", "mclkFreqBox", 2, "mclkBox", 5,
         {"03 18 04 0F 0F 05 0F", "03 1C 04 0F 0F 0F 0F"}, nullptr, "0dB", 24,
         "0F 0F 05 0F 0F 0F 0F 0F"},
        {"DPLL_BW to 9", "mclkFreqBox", 3, "mclkBox", 9,
         {"03 18 04 0F 0F 0F 09", "03 1C 04 0F 0F 0F 0F"}, nullptr, "0dB", 24,
         "0F 0F 0F 09 0F 0F 0F 0F"},
        {"DAC1 to Min phase", "filterFreqBox", 0, "filterBox", 0,
         {"03 24 04 00 20 20 20", "03 28 04 20 20 20 20"}, nullptr, "0dB", 36,
         "00 20 20 20 20 20 20 20"},
        {"DAC3 to Linear phase slow", "filterFreqBox", 2, "filterBox", 4,
         {"03 24 04 20 20 80 20", "03 28 04 20 20 20 20"}, nullptr, "0dB", 36,
         "20 20 80 20 20 20 20 20"},
        {"DAC4 to Min ph slow low disp", "filterFreqBox", 3, "filterBox", 7,
         {"03 24 04 20 20 20 E0", "03 28 04 20 20 20 20"}, nullptr, "0dB", 36,
         "20 20 20 E0 20 20 20 20"},
    };
    const QByteArray factory = bytesOf(VirtualDac::factoryBlock());
    for (bool device : {true, false}) {
        for (const Edit& e : edits) {
            const QByteArray changed = hex(e.blockBytes);
            QTest::addRow("%s%s", e.tag, device ? "" : ", no device")
                << device << QString::fromLatin1(e.entryBox) << e.entryRow
                << QString::fromLatin1(e.edited) << e.value
                << (device ? e.sent : QStringList{})
                << (e.line ? QStringList{QString::fromLatin1(e.line)} : QStringList{})
                << QString::fromLatin1(e.label) << e.blockAt
                << (device ? changed : factory.mid(e.blockAt, changed.size()));
        }
    }
}

void TestMainWindow::editSendsAtOnce()
{
    QFETCH(bool, device);
    QFETCH(QString, entryBox);
    QFETCH(int, entryRow);
    QFETCH(QString, edited);
    QFETCH(int, value);
    QFETCH(QStringList, sent);
    QFETCH(QStringList, lines);
    QFETCH(QString, label);
    QFETCH(int, blockAt);
    QFETCH(QByteArray, blockBytes);
    start(device);
    QWidget& window = program->window;
    if (!entryBox.isEmpty())
        widget<QComboBox>(window, entryBox.toLatin1().constData())->setCurrentIndex(entryRow);
    UsbSim::clearLog();
    ModalHandler modals(&window);

    ConsoleCapture console;
    QWidget* w = widget<QWidget>(window, edited.toLatin1().constData());
    if (auto* slider = qobject_cast<QSlider*>(w))
        slider->setValue(value);
    else if (auto* spin = qobject_cast<QSpinBox*>(w))
        spin->setValue(value);
    else
        qobject_cast<QComboBox*>(w)->setCurrentIndex(value);
    const QString output = console.stop();

    QCOMPARE(requests(), sent);
    if (!device)
        QVERIFY(UsbSim::calls().empty());
    QCOMPARE(bytesOf(UsbSim::block()).mid(blockAt, blockBytes.size()), blockBytes);
    QCOMPARE(windowLines(output), lines);
    QCOMPARE(widget<QLabel>(window, "label")->text(), label);
    QCOMPARE(window.windowTitle(), device ? kConnected : kDisconnected);
    QCOMPARE(modals.boxes(), QStringList{});
}

void TestMainWindow::typingSendsEachValue_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QString>("line");

    QTest::newRow("left 2nd") << "secondThdEdit"
                              << QStringList{"03 0A 04 00 01 00 82", "03 0A 04 00 0C 00 82",
                                             "03 0A 04 00 7B 00 82"}
                              << "onSecondThdEdit:";
    QTest::newRow("left 3rd") << "thirdThdEdit"
                              << QStringList{"03 0A 04 00 00 00 01", "03 0A 04 00 00 00 0C",
                                             "03 0A 04 00 00 00 7B"}
                              << "onThirdThdEdit:";
    QTest::newRow("right 2nd") << "secondThdEdit_2"
                               << QStringList{"03 0E 04 00 01 00 82", "03 0E 04 00 0C 00 82",
                                              "03 0E 04 00 7B 00 82"}
                               << "onSecondThdEdit:";
    QTest::newRow("right 3rd") << "thirdThdEdit_2"
                               << QStringList{"03 0E 04 00 00 00 01", "03 0E 04 00 00 00 0C",
                                              "03 0E 04 00 00 00 7B"}
                               << "onThirdThdEdit:";
}

void TestMainWindow::typingSendsEachValue()
{
    QFETCH(QString, box);
    QFETCH(QStringList, sent);
    QFETCH(QString, line);
    start(true);
    auto* spin = widget<QSpinBox>(program->window, box.toLatin1().constData());
    spin->setFocus();
    spin->selectAll();

    ConsoleCapture console;
    QTest::keyClicks(spin, QStringLiteral("123"));
    const QString output = console.stop();

    QCOMPARE(spin->value(), 123);
    QCOMPARE(requests(), sent);
    QCOMPARE(windowLines(output), (QStringList{line, line, line}));
}

void TestMainWindow::choosingEntryRefreshes_data()
{
    QTest::addColumn<QString>("entryBox");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("valueBox");
    QTest::addColumn<QString>("expected");

    QTest::newRow("CLK GEAR") << "mclkFreqBox" << 1 << "mclkBox" << "7";
    QTest::newRow("MASTER_BCK") << "mclkFreqBox" << 2 << "mclkBox" << "3";
    QTest::newRow("DPLL_BW") << "mclkFreqBox" << 3 << "mclkBox" << "11";
    QTest::newRow("DAC2") << "filterFreqBox" << 1 << "filterBox" << "Linear phase slow";
    QTest::newRow("DAC3") << "filterFreqBox" << 2 << "filterBox" << "Min phase slow";
    QTest::newRow("DAC4") << "filterFreqBox" << 3 << "filterBox" << "Min phase";
}

void TestMainWindow::choosingEntryRefreshes()
{
    QFETCH(QString, entryBox);
    QFETCH(int, row);
    QFETCH(QString, valueBox);
    QFETCH(QString, expected);
    // Entries that differ from one another; set while no device is open, so
    // only the program's copy holds them.
    const uint8_t mclk[] = {15, 7, 3, 11};
    const uint8_t shape[] = {1, 4, 6, 0};
    for (int i = 0; i < 4; ++i) {
        program->state.setMclk(i, mclk[i]);
        program->state.setFilter(i, shape[i]);
    }
    start(true);
    QWidget& window = program->window;
    {
        QSignalBlocker quiet(widget<QSpinBox>(window, "thirdThdEdit_2"));
        widget<QSpinBox>(window, "thirdThdEdit_2")->setValue(999);
    }
    ModalHandler modals(&window);

    widget<QComboBox>(window, entryBox.toLatin1().constData())->setCurrentIndex(row);

    QCOMPARE(widget<QComboBox>(window, valueBox.toLatin1().constData())->currentText(), expected);
    QCOMPARE(widget<QSpinBox>(window, "thirdThdEdit_2")->value(), 130);
    QCOMPARE(window.windowTitle(), kConnected);
    QVERIFY(UsbSim::calls().empty());
    QCOMPARE(modals.boxes(), QStringList{});
}

void TestMainWindow::presetBrowser_data()
{
    QTest::addColumn<bool>("device");
    QTest::addColumn<QString>("file");      // empty: the dialog is cancelled
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QByteArray>("deviceBlock");

    const QByteArray factory = bytesOf(VirtualDac::factoryBlock());
    const QStringList success{"box Info: Success import."};
    const QStringList failure{"box Warning: Fail import."};

    QTest::newRow("valid preset") << true << "good.sonvale" << success
                                  << fullWrite(importedBlock()) + fullRead() << kPresetWidgets
                                  << importedBlock();
    QTest::newRow("wrong checksum") << true << "bad.sonvale" << failure << QStringList{}
                                    << kDefaultWidgets << factory;
    QTest::newRow("file too short") << true << "short.sonvale" << failure << QStringList{}
                                    << kDefaultWidgets << factory;
    QTest::newRow("cancelled") << true << "" << QStringList{} << QStringList{}
                               << kDefaultWidgets << factory;
    // Without a device the import fills only the program's copy; the widgets
    // keep their values until the next refresh.
    QTest::newRow("valid preset, no device") << false << "good.sonvale" << success
                                             << QStringList{} << kDefaultWidgets << factory;
    QTest::newRow("wrong checksum, no device") << false << "bad.sonvale" << failure
                                               << QStringList{} << kDefaultWidgets << factory;
    QTest::newRow("cancelled, no device") << false << "" << QStringList{} << QStringList{}
                                          << kDefaultWidgets << factory;
}

void TestMainWindow::presetBrowser()
{
    QFETCH(bool, device);
    QFETCH(QString, file);
    QFETCH(QStringList, boxes);
    QFETCH(QStringList, sent);
    QFETCH(QStringList, after);
    QFETCH(QByteArray, deviceBlock);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir::setCurrent(dir.path()));
    const QByteArray good = presetFile(kPresetBlock);
    QByteArray bad = good;
    bad[49] = char(bad[49] + 1);
    QVERIFY(writeFile(QStringLiteral("good.sonvale"), good));
    QVERIFY(writeFile(QStringLiteral("bad.sonvale"), bad));
    QVERIFY(writeFile(QStringLiteral("short.sonvale"), good.left(49)));
    start(device);
    ModalHandler modals(&program->window,
                        file.isEmpty() ? QString() : QDir(dir.path()).filePath(file));

    QVERIFY(QMetaObject::invokeMethod(&program->window, "onFileBrowserClick"));

    QVERIFY(!modals.seen.isEmpty());
    const Modal dialog = modals.seen.takeFirst();
    QCOMPARE(dialog.kind, QStringLiteral("file dialog"));
    QCOMPARE(dialog.title, QStringLiteral("Open a preset file"));
    QCOMPARE(dialog.directory, QDir::currentPath());
    QCOMPARE(dialog.nameFilters, QStringList{"*.sonvale"});
    QVERIFY(dialog.parentIsWindow);
    QCOMPARE(modals.boxes(), boxes);
    for (const Modal& box : modals.seen) {
        QVERIFY(box.parentIsWindow);
        QVERIFY(box.okOnly);
        QVERIFY(box.information);
        QCOMPARE(box.windowWidgets, after);   // a successful read came first
    }
    QCOMPARE(requests(), sent);
    if (!device)
        QVERIFY(UsbSim::calls().empty());
    QCOMPARE(shown(program->window), after);
    QCOMPARE(bytesOf(UsbSim::block()), deviceBlock);
}

void TestMainWindow::menuActions_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<bool>("device");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QByteArray>("deviceBlock");

    const QStringList restore = QStringList{"09 00 00 00 00 00 00"} + fullRead();
    QTest::newRow("restore factory")
        << QByteArray("onRestoreFactoryClick") << true << "onRestoreFactoryClick:" << restore
        << kFactoryWidgets << bytesOf(VirtualDac::factoryBlock());
    QTest::newRow("read state") << QByteArray("onReadStateClick") << true << "onReadStateClick:"
                                << fullRead() << kPresetWidgets << importedBlock();
    QTest::newRow("restore factory, no device")
        << QByteArray("onRestoreFactoryClick") << false << "onRestoreFactoryClick:"
        << QStringList{} << kDefaultWidgets << importedBlock();
    QTest::newRow("read state, no device")
        << QByteArray("onReadStateClick") << false << "onReadStateClick:" << QStringList{}
        << kDefaultWidgets << importedBlock();
}

void TestMainWindow::menuActions()
{
    QFETCH(QByteArray, slot);
    QFETCH(bool, device);
    QFETCH(QString, line);
    QFETCH(QStringList, sent);
    QFETCH(QStringList, after);
    QFETCH(QByteArray, deviceBlock);
    UsbSim::setBlock(blockOf(importedBlock()));
    start(device);
    ModalHandler modals(&program->window);

    ConsoleCapture console;
    // The menu entries are disabled; the slots are reached by name.
    QVERIFY(QMetaObject::invokeMethod(&program->window, slot.constData()));
    const QString output = console.stop();

    QCOMPARE(windowLines(output), QStringList{line});
    QCOMPARE(requests(), sent);
    QCOMPARE(shown(program->window), after);
    QCOMPARE(bytesOf(UsbSim::block()), deviceBlock);
    QCOMPARE(program->window.windowTitle(), device ? kConnected : kDisconnected);
    QCOMPARE(modals.boxes(), QStringList{});
}

void TestMainWindow::thdTest_data()
{
    QTest::addColumn<bool>("device");
    QTest::addColumn<QByteArray>("presetContent");   // empty: no file
    QTest::addColumn<QStringList>("titles");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QByteArray>("deviceBlock");

    const QByteArray factory = bytesOf(VirtualDac::factoryBlock());
    const QByteArray good = presetFile(kPresetBlock);
    QByteArray bad = good;
    bad[48] = char(bad[48] + 1);
    const QStringList notFound{"box Warning: THDTest.sonvale not found."};

    QTest::newRow("test preset present")
        << true << good << QStringList{kInit, kConnected} << QStringList{}
        << fullRead() + fullWrite(importedBlock()) + fullRead() << kPresetWidgets
        << importedBlock();
    QTest::newRow("test preset missing")
        << true << QByteArray() << QStringList{kInit, kConnected} << notFound << fullRead()
        << kFactoryWidgets << factory;
    QTest::newRow("test preset with wrong checksum")
        << true << bad << QStringList{kInit, kConnected} << notFound << fullRead()
        << kFactoryWidgets << factory;
    QTest::newRow("no device") << false << good << QStringList{}
                               << QStringList{"box Warning: Connection is not successful."}
                               << QStringList{} << kDefaultWidgets << factory;
}

void TestMainWindow::thdTest()
{
    QFETCH(bool, device);
    QFETCH(QByteArray, presetContent);
    QFETCH(QStringList, titles);
    QFETCH(QStringList, boxes);
    QFETCH(QStringList, sent);
    QFETCH(QStringList, after);
    QFETCH(QByteArray, deviceBlock);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir::setCurrent(dir.path()));
    if (!presetContent.isEmpty()) {
        QVERIFY(QDir().mkdir(QStringLiteral("Presets")));
        QVERIFY(writeFile(QStringLiteral("Presets/THDTest.sonvale"), presetContent));
    }
    if (!device)
        UsbSim::setDevices({});
    start(false);
    ModalHandler modals(&program->window);

    // No widget starts the THD test; it is reached by name.
    QVERIFY(QMetaObject::invokeMethod(&program->window, "onStartTHDTestClick"));

    QCOMPARE(program->titles, titles);
    QCOMPARE(program->window.windowTitle(), device ? kConnected : kDisconnected);
    QCOMPARE(modals.boxes(), boxes);
    for (const Modal& box : modals.seen) {
        QVERIFY(box.parentIsWindow);
        QVERIFY(box.okOnly);
        QVERIFY(box.information);
        QCOMPARE(box.windowWidgets, after);
    }
    QCOMPARE(requests(), sent);
    QCOMPARE(shown(program->window), after);
    QCOMPARE(bytesOf(UsbSim::block()), deviceBlock);
}

void TestMainWindow::slotsBeforeMirror_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<bool>("takesInt");

    const char* const plain[] = {"setupOutlets",        "onReadStateClick",
                                 "onRestoreFactoryClick", "onFileBrowserClick",
                                 "onStartDRTestClick",  "onStartTHDTestClick"};
    const char* const withValue[] = {"onSliderChanged",   "onSecondThdEdit", "onThirdThdEdit",
                                     "onSecondThdEdit_2", "onThirdThdEdit_2", "onMclkUpdate",
                                     "onFilterUpdate"};
    for (const char* slot : plain)
        QTest::newRow(slot) << QByteArray(slot) << false;
    for (const char* slot : withValue)
        QTest::newRow(slot) << QByteArray(slot) << true;
}

void TestMainWindow::slotsBeforeMirror()
{
    QFETCH(QByteArray, slot);
    QFETCH(bool, takesInt);
    // The device is open, so anything sent would reach it.
    QVERIFY(program->dac.reconnect());
    UsbSim::clearLog();
    MainWindow& window = program->window;
    const QString formTitle = window.windowTitle();
    ModalHandler modals(&window);

    const bool invoked = takesInt
        ? QMetaObject::invokeMethod(&window, slot.constData(), Q_ARG(int, 3))
        : QMetaObject::invokeMethod(&window, slot.constData());

    QVERIFY(invoked);
    QVERIFY(UsbSim::calls().empty());
    QCOMPARE(modals.boxes(), QStringList{});
    QCOMPARE(window.windowTitle(), formTitle);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
