// Which names the search computes, and which devices those names (and only those) reach.
#include "simulator.h"
#include "interface/SerialLink.h"
#include "platform/SerialPort.h"
#include "platform/Settings.h"

#include <gtest/gtest.h>

namespace {

TEST(PortName, PlainBelowTenDeviceNamespaceFromTenOn) {
    const struct {
        int n;
        const char* name;
    } cases[] = {
        {3, "COM3"}, {9, "COM9"}, {10, "\\\\.\\COM10"}, {12, "\\\\.\\COM12"}, {30, "\\\\.\\COM30"}};
    for (const auto& c : cases) {
        char name[16];
        PortName(c.n, name);
        EXPECT_STREQ(name, c.name) << c.n;
    }
}

TEST(PortName, EveryComputedNameMapsToItsOwnEntry) {
    DevicesFolder folder;
    for (int n = kFirstComPort; n <= kLastComPort; ++n) {
        char name[16];
        PortName(n, name);
        EXPECT_EQ(SerialPort::devicePath(name), folder.path() + QStringLiteral("/COM%1").arg(n))
            << name;
    }
}

TEST(PortName, WithoutFolderTheNumberMapsToTtyS) {
    ASSERT_TRUE(serverSettings().devices.isEmpty());
    EXPECT_EQ(SerialPort::devicePath("COM3"), QStringLiteral("/dev/ttyS2"));
    EXPECT_EQ(SerialPort::devicePath("\\\\.\\COM30"), QStringLiteral("/dev/ttyS29"));
}

// Only the names of COM3 … COM30 reach a device: nothing else, and no path, however it is
// spelled, leaves the devices folder.
TEST(PortName, AnythingElseMapsToNothing) {
    DevicesFolder folder;
    const char* rejected[] = {
        "COM1",         "COM2",          "COM31",
        "\\\\.\\COM2",  "\\\\.\\COM31",  "COM10",
        "COM12",        "COM03",         "\\\\.\\COM012",
        "COM",          "\\\\.\\COM",    "",
        "com4",         "COM4 ",         " COM4",
        "COM4/..",      "../COM4",       "COM4\\",
        "COM-4",        "COM+4",         "COM99999999999999999999",
        "\\\\?\\COM12", "\\\\.\\COM1x",  "/dev/ttyS3",
        "COM3\n",       "\\\\.\\COM300",
    };
    for (const char* name : rejected) {
        EXPECT_EQ(SerialPort::portNumber(name), 0) << name;
        EXPECT_TRUE(SerialPort::devicePath(name).isEmpty()) << name;
    }
    EXPECT_EQ(SerialPort::portNumber(nullptr), 0);
    EXPECT_EQ(SerialPort::portNumber("\\\\.\\COM9"), 9);
}

TEST(PortName, OpenPortRefusesNumbersOutsideTheSearch) {
    DevicesFolder folder;
    for (int n : {-1, 0, 1, 2, 31, 255}) {
        EXPECT_EQ(OpenPort(n), 0) << n;
    }
}

// A stray entry that is not a character device is never opened.
TEST(PortName, RegularFileInTheFolderIsNotAPort) {
    DevicesFolder folder;
    QFile file(folder.path() + QStringLiteral("/COM5"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a port");
    file.close();
    EXPECT_EQ(OpenPort(5), 0);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("not a port"));
}

// The port is taken unshared: a second opener is refused until the first lets go.
TEST(SerialPortOpen, SecondOpenerIsRefusedUntilTheFirstCloses) {
    DevicesFolder folder;
    Simulator sim(folder.path(), 4);
    ASSERT_TRUE(sim.ready());
    SerialPort first;
    SerialPort second;
    ASSERT_TRUE(first.open("COM4"));
    EXPECT_FALSE(second.open("COM4"));
    EXPECT_FALSE(second.isOpen());
    first.close();
    EXPECT_TRUE(second.open("COM4"));
    EXPECT_FALSE(second.open("COM2")) << "a failed open leaves nothing open";
    EXPECT_FALSE(second.isOpen());
    EXPECT_EQ(second.bytesWaiting(), -1);
}

} // namespace
