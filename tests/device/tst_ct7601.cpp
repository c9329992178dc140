// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The link against the simulated DAC: what reaches the device, what the user
// reads on the console, and what the link holds of libusb.

#include "base/diagnostics.h"
#include "device/ct7601.h"

#include "consolecapture.h"
#include "testbytes.h"
#include "usbsim.h"

#include <QtTest>
#include <libusb.h>

#include <functional>
#include <vector>

using namespace std::chrono_literals;

namespace {

using Fault = std::function<void()>;

using namespace TestBytes;

UsbSim::Device otherDevice()
{
    UsbSim::Device d;
    d.vendorId = 0x046D;
    d.productId = 0xC52B;
    d.manufacturer.text = "Other";
    d.dac = false;
    return d;
}

QStringList listOf(const std::vector<std::string>& v)
{
    QStringList list;
    for (const std::string& s : v)
        list << QString::fromStdString(s);
    return list;
}

const QString identity = "Manufacturer:\tSonvale Labs\n"
                         "Product:\tSonvale ES9038 USB DAC\n"
                         "Serial number:\tSV9038-0001\n";

class Recorder : public CT7601::OnReadDataListener {
public:
    void onReadData(Report report) override
    {
        received.push_back(bytesOf(report.bytes(), 7));
        if (nested)
            nestedResult = nested->sendReport(Report(5, 0, 0, nullptr));
    }
    std::vector<QByteArray> received;
    CT7601* nested = nullptr;
    int nestedResult = 0;
};

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestCT7601 : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void connectOutcome_data();
    void connectOutcome();
    void hotplugRegistration();
    void diagnosticsFollowTheirStream();
    void claimAndRelease_data();
    void claimAndRelease();

    void transferArguments();
    void exchangeOutcome_data();
    void exchangeOutcome();
    void nestedExchangeRefused();

    void unconnectedLinkTouchesNothing_data();
    void unconnectedLinkTouchesNothing();
    void cyclesHoldOneContextAndHandle_data();
    void cyclesHoldOneContextAndHandle();
};

void TestCT7601::init()
{
    UsbSim::reset();
}

void TestCT7601::cleanup()
{
    QCOMPARE(UsbSim::liveContexts(), 0);
    QCOMPARE(UsbSim::liveHandles(), 0);
    QCOMPARE(UsbSim::liveDeviceLists(), 0);
    QCOMPARE(listOf(UsbSim::misuses()), QStringList());
}

void TestCT7601::connectOutcome_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<uint>("vendorId");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QString>("console");

    const uint vid = 0x2FC6;
    const QString notConnected = "Device (vid=2fc6 pid=6013) is not connected.\n";

    QTest::newRow("identity") << Fault([] {}) << vid << true << identity;
    QTest::newRow("init fails") << Fault([] { UsbSim::failInit(LIBUSB_ERROR_NO_MEM); })
                                << vid << false << "Libusb init error.\n";
    QTest::newRow("hotplug registration fails")
        << Fault([] { UsbSim::failHotplugRegistration(LIBUSB_ERROR_NO_MEM); }) << vid << false
        << "Error registering hotplug callback.\n";
    QTest::newRow("no hotplug capability") << Fault([] { UsbSim::setHotplugCapable(false); })
                                           << vid << true << identity;
    QTest::newRow("no device") << Fault([] { UsbSim::setDevices({}); }) << vid << false
                               << notConnected;
    QTest::newRow("only other devices")
        << Fault([] { UsbSim::setDevices({otherDevice(), otherDevice()}); }) << vid << false
        << notConnected;
    QTest::newRow("other device listed first")
        << Fault([] { UsbSim::setDevices({otherDevice(), UsbSim::Device()}); }) << vid << true
        << identity;
    QTest::newRow("unreadable descriptor skipped") << Fault([] {
        UsbSim::Device broken;
        broken.descriptorError = LIBUSB_ERROR_IO;
        UsbSim::Device second;
        second.serial.text = "SECOND";
        UsbSim::setDevices({broken, second});
    }) << vid << true
        << "Manufacturer:\tSonvale Labs\nProduct:\tSonvale ES9038 USB DAC\nSerial number:\tSECOND\n";
    QTest::newRow("only device unreadable") << Fault([] {
        UsbSim::Device broken;
        broken.descriptorError = LIBUSB_ERROR_IO;
        UsbSim::setDevices({broken});
    }) << vid << false << notConnected;
    // libusb refuses to watch for such identifiers; without hotplug they
    // simply match nothing.
    QTest::newRow("identifiers above 0xFFFF, hotplug") << Fault([] {}) << 0x12FC6u << false
                                                       << "Error registering hotplug callback.\n";
    QTest::newRow("identifiers above 0xFFFF, no hotplug") << Fault([] { UsbSim::setHotplugCapable(false); })
                                                          << 0x12FC6u << false
                                                          << "Device (vid=12fc6 pid=6013) is not connected.\n";
    QTest::newRow("open fails") << Fault([] { UsbSim::failOpen(LIBUSB_ERROR_ACCESS); }) << vid
                                << false << "Device (vid=2fc6 pid=6013) is not open. Error code = -3\n";
    QTest::newRow("no device behind the handle") << Fault([] { UsbSim::failGetDevice(true); })
                                                 << vid << true
                                                 << "Device (vid=2fc6 pid=6013) is not getting from handle.";
    QTest::newRow("open device's descriptor unreadable") << Fault([] {
        UsbSim::Device d;
        d.openDescriptorError = LIBUSB_ERROR_IO;
        UsbSim::setDevices({d});
    }) << vid << true << "Error in getting device descriptor.\n";
    QTest::newRow("no serial number") << Fault([] {
        UsbSim::Device d;
        d.serial.index = 0;
        UsbSim::setDevices({d});
    }) << vid << true << "Manufacturer:\tSonvale Labs\nProduct:\tSonvale ES9038 USB DAC\n";
    QTest::newRow("no strings at all") << Fault([] {
        UsbSim::Device d;
        d.manufacturer.index = d.product.index = d.serial.index = 0;
        UsbSim::setDevices({d});
    }) << vid << true << "";
    QTest::newRow("manufacturer unreadable") << Fault([] {
        UsbSim::Device d;
        d.manufacturer.error = LIBUSB_ERROR_PIPE;
        UsbSim::setDevices({d});
    }) << vid << true << "Product:\tSonvale ES9038 USB DAC\nSerial number:\tSV9038-0001\n";
    QTest::newRow("empty product string") << Fault([] {
        UsbSim::Device d;
        d.product.text = "";
        UsbSim::setDevices({d});
    }) << vid << true << "Manufacturer:\tSonvale Labs\nSerial number:\tSV9038-0001\n";
}

void TestCT7601::connectOutcome()
{
    QFETCH(Fault, fault);
    QFETCH(uint, vendorId);
    QFETCH(bool, connected);
    QFETCH(QString, console);

    fault();
    CT7601 link;
    link.vendorId = vendorId;
    ConsoleCapture capture;
    const bool result = link.connect();
    const QString text = capture.stop();

    QCOMPARE(text, console);
    QCOMPARE(result, connected);
    QCOMPARE(link.isConnected(), connected);

    QCOMPARE(UsbSim::liveContexts(), connected ? 1 : 0);
    QCOMPARE(UsbSim::liveHandles(), connected ? 1 : 0);
    QCOMPARE(UsbSim::liveDevices(), connected ? 1 : 0);   // the handle's own hold
    QCOMPARE(UsbSim::liveDeviceLists(), 0);
}

void TestCT7601::hotplugRegistration()
{
    CT7601 link;
    link.vendorId = 0x1234;
    link.productId = 0xABCD;
    UsbSim::setDevices({UsbSim::Device(), [] {
                            UsbSim::Device d;
                            d.vendorId = 0x1234;
                            d.productId = 0xABCD;
                            return d;
                        }()});
    ConsoleCapture quiet;
    QVERIFY(link.connect());
    quiet.stop();

    const auto registrations = UsbSim::calls("libusb_hotplug_register_callback");
    QCOMPARE(registrations.size(), size_t(1));
    const long long context = UsbSim::calls("libusb_init").at(0).args.at(0);
    // context, events ARRIVED, flags 0, vendor, product, class HID, callback,
    // no user data, a handle slot
    QCOMPARE(registrations[0].args,
             (std::vector<long long>{context, 1, 0, 0x1234, 0xABCD, 3, 1, 0, 1}));

    ConsoleCapture capture;
    const int fired = UsbSim::fireHotplugArrival() + UsbSim::fireHotplugArrival();
    QCOMPARE(capture.stop(), QString("HotPlug!\nHotPlug!\n"));
    QCOMPARE(fired, 2);   // the callback keeps its registration

    // A new connection registers on its new context; the old one has gone.
    ConsoleCapture quietAgain;
    QVERIFY(link.connect());
    quietAgain.stop();
    QCOMPARE(UsbSim::calls("libusb_hotplug_register_callback").size(), size_t(2));
    QCOMPARE(UsbSim::hotplugRegistrations(), 1);
}

// Pointed at a file, the diagnostics are in it as soon as they are printed,
// as a log needs; pointed nowhere, they are dropped.
void TestCT7601::diagnosticsFollowTheirStream()
{
    QTemporaryDir dir;
    std::FILE* file = std::fopen(QFile::encodeName(dir.filePath("log")).constData(), "wb");
    ConsoleCapture capture;
    std::FILE* const before = Diagnostics::redirect(file);
    CT7601 link;
    QVERIFY(link.connect());
    QCOMPARE(QString::fromUtf8(readFile(dir.filePath("log"))), identity);   // the stream still open
    Diagnostics::redirect(nullptr);
    link.sendReport(Report(5, 0, 0, nullptr));
    Diagnostics::redirect(before);
    std::fclose(file);
    QCOMPARE(QString::fromUtf8(readFile(dir.filePath("log"))), identity);
    QCOMPARE(capture.stop(), QString());
}

void TestCT7601::claimAndRelease_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("console");
    QTest::addColumn<bool>("released");

    const QString exchanged = "Response: id=85 addr=0 length=0 data: 0 0 0 0\n";
#ifdef __linux__
    QTest::newRow("claimed with auto-detach") << Fault([] {}) << identity + exchanged << true;
    QTest::newRow("auto-detach not supported") << Fault([] {
        UsbSim::failAutoDetach(LIBUSB_ERROR_NOT_SUPPORTED);
        UsbSim::setKernelDriverBound(false);
    }) << identity + exchanged << true;
    QTest::newRow("claim not supported") << Fault([] {
        UsbSim::failClaim(LIBUSB_ERROR_NOT_SUPPORTED);
        UsbSim::setKernelDriverBound(false);
    }) << identity + exchanged << false;
    // The kernel's driver keeps the interface: the transfers say so.
    QTest::newRow("claim fails") << Fault([] { UsbSim::failClaim(LIBUSB_ERROR_BUSY); })
                                 << "Cannot claim interface 0 of the device. Error code = -6\n"
                                        + identity + "Error sending data over usb.(ret=-6\n"
                                 << false;
#else
    QSKIP("Interfaces are claimed on Linux only");
#endif
}

void TestCT7601::claimAndRelease()
{
    QFETCH(Fault, fault);
    QFETCH(QString, console);
    QFETCH(bool, released);

    fault();
    {
        CT7601 link;
        ConsoleCapture capture;
        QVERIFY(link.connect());
        link.sendReport(Report(5, 0, 0, nullptr));
        QCOMPARE(capture.stop(), console);

        // Claiming sends nothing to the device.
        const auto names = UsbSim::functionNames();
        const auto open = std::find(names.begin(), names.end(), "libusb_open");
        const auto detach = std::find(open, names.end(), "libusb_set_auto_detach_kernel_driver");
        const auto claim = std::find(detach, names.end(), "libusb_claim_interface");
        const auto transfer = std::find(claim, names.end(), "libusb_control_transfer");
        QVERIFY(claim != names.end());
        QVERIFY(std::find(open, claim, "libusb_control_transfer") == claim);
        QCOMPARE(transfer - claim > 0, true);
        const long long handle = UsbSim::calls("libusb_open").at(0).args.at(1);
        QCOMPARE(UsbSim::calls("libusb_set_auto_detach_kernel_driver").at(0).args,
                 (std::vector<long long>{handle, 1}));
        QCOMPARE(UsbSim::calls("libusb_claim_interface").at(0).args,
                 (std::vector<long long>{handle, 0}));

        UsbSim::clearLog();
        link.close();
    }
    QStringList expected;
    if (released)
        expected << "libusb_release_interface";
    expected << "libusb_close" << "libusb_exit";
    QCOMPARE(listOf(UsbSim::functionNames()), expected);
}

void TestCT7601::transferArguments()
{
    CT7601 link;
    Recorder recorder;
    link.listener = &recorder;
    {
        ConsoleCapture quiet;
        QVERIFY(link.connect());
    }
    UsbSim::clearLog();

    ConsoleCapture capture;
    const int result = link.sendReport(Report(4, 0x2C, 4, nullptr));
    QCOMPARE(capture.stop(), QString("Response: id=84 addr=2c length=4 data: 20 20 20 20\n"));
    QCOMPARE(result, 7);

    const auto t = UsbSim::transfers();
    QCOMPARE(t.size(), size_t(2));
    QCOMPARE(t[0].requestType, 0x21);
    QCOMPARE(t[0].request, 0x09);
    QCOMPARE(t[0].value, 0x0200);
    QCOMPARE(t[0].index, 0);
    QCOMPARE(bytesOf(t[0].data), QByteArray::fromHex("042C0400000000"));
    QCOMPARE(t[0].length, 7);
    QCOMPARE(t[0].timeout, 1000u);
    QCOMPARE(t[0].result, 7);

    QCOMPARE(t[1].requestType, 0xA1);
    QCOMPARE(t[1].request, 0x01);
    QCOMPARE(t[1].value, 0x0100);
    QCOMPARE(t[1].index, 0);
    QCOMPARE(t[1].length, 7);
    QCOMPARE(t[1].timeout, 1000u);
    QCOMPARE(t[1].result, 7);
    QCOMPARE(bytesOf(t[1].data), QByteArray::fromHex("842C0420202020"));

    QCOMPARE(recorder.received, std::vector<QByteArray>{QByteArray::fromHex("842C0420202020")});
}

void TestCT7601::exchangeOutcome_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("console");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("delivered");   // the listener got the answer
    QTest::addColumn<int>("transfers");
    QTest::addColumn<bool>("stays");       // the link stays connected

    const QByteArray read0 = QByteArray::fromHex("04000400000000");
    const QByteArray commit = QByteArray::fromHex("05000000000000");

    QTest::newRow("valid answer") << Fault([] { UsbSim::dac().setNextAnswer(answerOf("84000473010101")); })
                                  << read0 << "Response: id=84 addr=0 length=4 data: 73 1 1 1\n" << 7
                                  << true << 2 << true;
    QTest::newRow("other valid answer") << Fault([] {}) << commit
                                        << "Response: id=85 addr=0 length=0 data: 0 0 0 0\n" << 7
                                        << true << 2 << true;
    QTest::newRow("length above 4 as received")
        << Fault([] { UsbSim::dac().setNextAnswer(answerOf("842D0901020304")); }) << read0
        << "Response: id=84 addr=2d length=9 data: 1 2 3 4\n" << 7 << true << 2 << true;
    QTest::newRow("bit 7 clear") << Fault([] { UsbSim::dac().setNextAnswer(answerOf("04000473010101")); })
                                 << read0 << "Usb response error. Ret=7 ID=4\n" << 7 << false << 2 << true;
    QTest::newRow("device answers invalid") << Fault([] { UsbSim::dac().setAnswersInvalid(true); })
                                            << commit << "Usb response error. Ret=7 ID=5\n" << 7
                                            << false << 2 << true;
    QTest::newRow("answer times out") << Fault([] { UsbSim::failNextGetReport(LIBUSB_ERROR_TIMEOUT); })
                                      << read0 << "Usb response error. Ret=-7 ID=0\n" << -7 << false
                                      << 2 << true;
    QTest::newRow("silent device") << Fault([] { UsbSim::dac().setSilent(true); }) << read0
                                   << "Usb response error. Ret=-7 ID=0\n" << -7 << false << 2 << true;
    QTest::newRow("short answer") << Fault([] { UsbSim::failNextGetReport(3); }) << read0
                                  << "Usb response error. Ret=3 ID=132\n" << 3 << false << 2 << true;
    QTest::newRow("request fails") << Fault([] { UsbSim::failNextSetReport(LIBUSB_ERROR_IO); })
                                   << read0 << "Error sending data over usb.(ret=-1\n" << -1 << false
                                   << 1 << true;
    QTest::newRow("request short") << Fault([] { UsbSim::failNextSetReport(5); }) << read0
                                   << "Error sending data over usb.(ret=5\n" << 5 << false << 1 << true;
    QTest::newRow("device unplugged") << Fault([] { UsbSim::unplug(); }) << read0
                                      << "Error sending data over usb.(ret=-4\n" << -4 << false << 1 << false;
    QTest::newRow("answer stalls") << Fault([] { UsbSim::failNextGetReport(LIBUSB_ERROR_PIPE); })
                                   << read0 << "Usb response error. Ret=-9 ID=0\n" << -9 << false << 2
                                   << true;
    QTest::newRow("device gone before the answer")
        << Fault([] { UsbSim::failNextGetReport(LIBUSB_ERROR_NO_DEVICE); }) << read0
        << "Usb response error. Ret=-4 ID=0\n" << -4 << false << 2 << false;
    QTest::newRow("answer fails otherwise") << Fault([] { UsbSim::failNextGetReport(LIBUSB_ERROR_OTHER); })
                                            << read0 << "Usb response error. Ret=-99 ID=0\n" << -99 << false
                                            << 2 << true;
    // Through Windows' HID driver a DAC that has gone only fails the request
    // (LIBUSB_ERROR_NOT_FOUND once the bus has been listed again): the bus
    // shows it gone, or another DAC of its kind at another port.
    QTest::newRow("unplugged, Windows") << Fault([] {
        UsbSim::setWindowsUnplug(true);
        UsbSim::unplug();
    }) << read0 << "Error sending data over usb.(ret=-1\n" << -1 << false << 1 << false;
    QTest::newRow("unplugged, Windows, bus listed since") << Fault([] {
        UsbSim::setWindowsUnplug(true);
        UsbSim::unplug();
        ConsoleCapture quiet;
        CT7601().connect();
    }) << read0 << "Error sending data over usb.(ret=-5\n" << -5 << false << 1 << false;
    QTest::newRow("gone before the answer, Windows") << Fault([] {
        UsbSim::setWindowsUnplug(true);
        UsbSim::unplugAfterRequests(1);
    }) << read0 << "Usb response error. Ret=-1 ID=0\n" << -1 << false << 2 << false;
    QTest::newRow("replaced at another port, Windows") << Fault([] {
        UsbSim::Device d;
        d.portNumbers = {2};
        UsbSim::setWindowsUnplug(true);
        UsbSim::setDevices({d});
    }) << read0 << "Error sending data over usb.(ret=-1\n" << -1 << false << 1 << false;
}

void TestCT7601::exchangeOutcome()
{
    QFETCH(Fault, fault);
    QFETCH(QByteArray, request);
    QFETCH(QString, console);
    QFETCH(int, result);
    QFETCH(bool, delivered);
    QFETCH(int, transfers);
    QFETCH(bool, stays);

    CT7601 link;
    Recorder recorder;
    link.listener = &recorder;
    {
        ConsoleCapture quiet;
        QVERIFY(link.connect());
    }
    const size_t claimed = UsbSim::calls("libusb_claim_interface").size();   // Linux only
    fault();
    UsbSim::clearLog();

    Report report;
    std::copy(request.begin(), request.end(), report.bytes());
    ConsoleCapture capture;
    const int ret = link.sendReport(report);
    const auto returned = UsbSim::Clock::now();
    QCOMPARE(capture.stop(), console);
    QCOMPARE(ret, result);

    const auto t = UsbSim::transfers();
    QCOMPARE(int(t.size()), transfers);
    QCOMPARE(bytesOf(t[0].data), request);
    QVERIFY(returned - t[0].time >= 100ms);
    if (transfers == 2)
        QVERIFY(returned - t[1].time >= 20ms);

    if (delivered)
        QCOMPARE(recorder.received, std::vector<QByteArray>{bytesOf(t[1].data)});
    else
        QVERIFY(recorder.received.empty());

    // Only a device that has left the bus ends the connection: the link lets
    // go of the interface, the handle and the context, and later exchanges
    // are refused without a word, as on a link never connected.
    QCOMPARE(link.isConnected(), stays);
    // Unless libusb says the DAC has gone, any error but a time-out costs one
    // look at the bus; nothing else does.
    const bool looks = result < 0 && result != LIBUSB_ERROR_TIMEOUT && result != LIBUSB_ERROR_NO_DEVICE;
    QCOMPARE(UsbSim::calls("libusb_get_device_list").size(), size_t(looks));
    QCOMPARE(UsbSim::liveHandles(), stays ? 1 : 0);
    QCOMPARE(UsbSim::liveContexts(), stays ? 1 : 0);
    QCOMPARE(UsbSim::misuses(), std::vector<std::string>());
    if (stays)
        return;
    QCOMPARE(UsbSim::calls("libusb_release_interface").size(), claimed);
    UsbSim::clearLog();
    ConsoleCapture after;
    QCOMPARE(link.sendReport(report), -1);
    QCOMPARE(after.stop(), QString());
    QVERIFY(UsbSim::calls().empty());
}

void TestCT7601::nestedExchangeRefused()
{
    CT7601 link;
    Recorder recorder;
    recorder.nested = &link;
    link.listener = &recorder;
    {
        ConsoleCapture quiet;
        QVERIFY(link.connect());
    }
    UsbSim::clearLog();

    ConsoleCapture capture;
    const int result = link.sendReport(Report(4, 0, 4, nullptr));
    QCOMPARE(capture.stop(), QString("Response: id=84 addr=0 length=4 data: 73 2 0 0\nUsb busy.\n"));
    QCOMPARE(result, 7);
    QCOMPARE(recorder.nestedResult, -1);
    QCOMPARE(UsbSim::transfers().size(), size_t(2));

    // The flag is down again afterwards.
    recorder.nested = nullptr;
    ConsoleCapture quiet;
    QCOMPARE(link.sendReport(Report(5, 0, 0, nullptr)), 7);
}

void TestCT7601::unconnectedLinkTouchesNothing_data()
{
    QTest::addColumn<bool>("failedConnect");
    QTest::newRow("never connected") << false;
    QTest::newRow("after a failed connect") << true;
}

void TestCT7601::unconnectedLinkTouchesNothing()
{
    QFETCH(bool, failedConnect);

    UsbSim::setDevices({});
    {
        CT7601 link;
        if (failedConnect) {
            ConsoleCapture quiet;
            QVERIFY(!link.connect());
        }
        UsbSim::clearLog();
        ConsoleCapture capture;
        link.close();
        const int result = link.sendReport(Report(4, 0, 4, nullptr));
        QCOMPARE(capture.stop(), QString());
        QCOMPARE(result, -1);
        QVERIFY(!link.isConnected());
    }
    QCOMPARE(listOf(UsbSim::functionNames()), QStringList());
}

void TestCT7601::cyclesHoldOneContextAndHandle_data()
{
    QTest::addColumn<bool>("closeFirst");
    QTest::newRow("close then connect") << true;
    QTest::newRow("connect while connected") << false;
}

void TestCT7601::cyclesHoldOneContextAndHandle()
{
    QFETCH(bool, closeFirst);

    {
        CT7601 link;
        ConsoleCapture quiet;
        for (int i = 0; i < 5; ++i) {
            if (closeFirst)
                link.close();
            QVERIFY(link.connect());
        }
        link.close();
        QCOMPARE(UsbSim::liveHandles(), 0);
        QCOMPARE(UsbSim::liveContexts(), 1);   // kept until the next connect
    }
    QCOMPARE(UsbSim::calls("libusb_init").size(), size_t(5));
    QCOMPARE(UsbSim::calls("libusb_open").size(), size_t(5));
    QCOMPARE(UsbSim::maxLiveContexts(), 1);
    QCOMPARE(UsbSim::maxLiveHandles(), 1);
    // cleanup(): nothing outlives the link
}

QTEST_GUILESS_MAIN(TestCT7601)
#include "tst_ct7601.moc"
