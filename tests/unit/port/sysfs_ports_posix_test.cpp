// Ports from the kernel's device tree and device changes from its event socket.
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "platform/errors.h"
#include "platform/uevent_socket.h"
#include "port/port_descriptor.h"
#include "port/sysfs_ports.h"
#include "port/uevent.h"
#include "support/fake_sysfs.h"

namespace korvane {
namespace {

using namespace std::string_literals;

std::string Render(const PortDescriptor& d) {
  std::string s = d.internal_type;
  for (const std::string* f :
       {&d.service, &d.vendor, &d.port_desc, &d.device_class, &d.class_guid, &d.driver, &d.location, &d.hardware_id})
    s += "|" + *f;
  for (const auto& p : d.device_paths) s += "|" + p;
  return s;
}

TEST(SysfsPorts, SyncDriverTtysAsUsbThenRealSerialPortsWithTheirUsbNames) {
  test::FakeSysfs sysfs;
  sysfs.AddUsbDevice("1-2", {{"idVendor", "1234"},
                             {"idProduct", "00ce"},
                             {"bcdDevice", "0000"},
                             {"manufacturer", "Acme"},
                             {"product", "Handheld USB Sync"}});
  sysfs.AddUsbSerialTty("ttyUSB3", "1-2", kSyncDriverName);
  sysfs.AddUsbDevice("1-1.4", {{"idVendor", "1234"}, {"idProduct", "0a9e"}, {"bcdDevice", "0100"}});
  sysfs.AddUsbSerialTty("ttyUSB10", "1-1.4", kSyncDriverName);
  // Odd numbers: the hardware ID is left out rather than made up.
  sysfs.AddUsbDevice("1-4", {{"idVendor", "2345"}, {"idProduct", "7523x"}, {"product", "USB UART bridge"}});
  sysfs.AddUsbSerialTty("ttyUSB1", "1-4", "uart_bridge");
  sysfs.AddUsbDevice("1-5", {{"idVendor", "1546"}, {"idProduct", "01a8"}, {"bcdDevice", "0201"}});
  sysfs.AddInterfaceTty("ttyACM0", "1-5", "cdc_acm");
  sysfs.AddPlatformTty("ttyS10", 4);
  sysfs.AddPlatformTty("ttyS0", 4);
  sysfs.AddPlatformTty("ttyS1", 0);
  sysfs.AddVirtualTty("tty0");

  std::vector<std::string> got;
  for (const auto& d : ScanSysfsTtys(sysfs.Root())) got.push_back(Render(d));
  EXPECT_EQ(got, (std::vector<std::string>{
                     "USB|ipaq|Acme|Handheld USB Sync|tty||ipaq|usb 1-2|USB\\VID_1234&PID_00CE&REV_0000|/dev/ttyUSB3",
                     "USB|ipaq|||tty||ipaq|usb 1-1.4|USB\\VID_1234&PID_0A9E&REV_0100|/dev/ttyUSB10",
                     "SERIAL||||tty||cdc_acm|usb 1-5|USB\\VID_1546&PID_01A8&REV_0201|/dev/ttyACM0",
                     "SERIAL||||tty||port|||/dev/ttyS0",
                     "SERIAL||||tty||port|||/dev/ttyS10",
                     "SERIAL|||USB UART bridge|tty||uart_bridge|usb 1-4||/dev/ttyUSB1",
                 }));
  const auto sync = DescribeSysfsTty(sysfs.Root(), "ttyUSB3");
  ASSERT_TRUE(sync);
  EXPECT_EQ(sync->pdo, "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB3");
  for (const char* none : {"tty0", "ttyS1", "ttyUSB7", "..", "../class"})
    EXPECT_FALSE(DescribeSysfsTty(sysfs.Root(), none)) << none;

  // Without a setup library the USB enumeration is the sync driver's ttys.
  std::vector<PortDescriptor> usb(1);
  EXPECT_EQ(EnumerateHandheldUsbDevices(usb), 2u);
  ASSERT_EQ(usb.size(), 2u);
  EXPECT_EQ(usb[0].device_paths, std::vector<std::string>{"/dev/ttyUSB3"});
  EXPECT_TRUE(ScanSysfsTtys(sysfs.Root() + "/missing").empty());
}

constexpr const char* kTtyPath = "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0";

// "+|tty|ttyUSB0|/dev/ttyUSB0|" for a change, "-" for an event that is none, "x" for no event.
std::string Outcome(const std::string& datagram) {
  const auto e = ParseUevent(reinterpret_cast<const uint8_t*>(datagram.data()), datagram.size());
  if (!e) return "x";
  const auto c = DeviceChangeOf(*e);
  if (!c) return "-";
  return std::string(c->arrived ? "+" : "-") + "|" + (c->tty ? "tty" : "usb") + "|" + c->name + "|" + c->node + "|" +
         c->hardware_id;
}

TEST(Uevent, KernelDatagramsBecomeArrivalsAndRemovalsOfTtysAndUsbDevices) {
  const std::string tty = "add@"s + kTtyPath + "\0ACTION=add\0DEVPATH="s + kTtyPath +
                          "\0SUBSYSTEM=tty\0MAJOR=188\0MINOR=0\0DEVNAME=ttyUSB0\0SEQNUM=4242\0"s;
  const std::string usb_gone =
      "remove@/devices/pci0000:00/0000:00:14.0/usb1/1-2\0ACTION=remove\0SUBSYSTEM=usb\0DEVTYPE=usb_device\0"
      "PRODUCT=1234/ce/0\0DEVNAME=bus/usb/001/005\0"s;
  const struct {
    std::string datagram;
    const char* outcome;
  } cases[] = {
      {tty, "+|tty|ttyUSB0|/dev/ttyUSB0|"},
      {usb_gone, "-|usb|1-2|/dev/bus/usb/001/005|USB\\VID_1234&PID_00CE&REV_0000"},
      {"add@/devices/x/1-3\0SUBSYSTEM=usb\0DEVTYPE=usb_device\0PRODUCT=zz/1/2\0"s, "+|usb|1-3||"},
      {"remove@/devices/virtual/tty/ttyS9\0SUBSYSTEM=tty"s, "-|tty|ttyS9||"},  // last pair unterminated
      {"add@/devices/x/1-2/1-2:1.0\0SUBSYSTEM=usb\0DEVTYPE=usb_interface\0"s, "-"},
      {"bind@/devices/x/1-2\0SUBSYSTEM=usb\0DEVTYPE=usb_device\0"s, "-"},
      {"change@/devices/virtual/tty/tty0\0SUBSYSTEM=tty\0"s, "-"},
      {"add@/devices/x/\0SUBSYSTEM=tty\0"s, "-"},
      // A user-space relay's message, and datagrams that contradict or lack the kernel's header.
      {"libudev\0\xfe\xed\xca\xfe\0\0\0\0ACTION=add\0SUBSYSTEM=tty\0"s, "x"},
      {"add@/devices/x\0ACTION=remove\0SUBSYSTEM=tty\0"s, "x"},
      {"add@/devices/x\0DEVPATH=/devices/y\0SUBSYSTEM=tty\0"s, "x"},
      {"add@/devices/x\0SUBSYSTEM=\0"s, "x"},
      {"@/devices/x\0SUBSYSTEM=tty\0"s, "x"},
      {"add@devices/x\0SUBSYSTEM=tty\0"s, "x"},
      {"add@\0SUBSYSTEM=tty\0"s, "x"},
      {"", "x"},
  };
  for (const auto& c : cases) EXPECT_EQ(Outcome(c.datagram), c.outcome) << c.datagram;
}

// The real kernel socket where this machine lets us bind it: a datagram from user space is
// dropped, and a wait with nothing from the kernel ends at its time-out.
TEST(UeventSocket, DropsWhatUserSpaceSendsAndWaitsNoLongerThanAsked) {
  UeventSocket events;
  uint32_t err = 0;
  if (!events.Open(err)) GTEST_SKIP() << "kernel event socket not available here: " << SystemErrorText(err);

  const int sender = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  const int plain = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  ASSERT_GE(sender, 0);
  ASSERT_GE(plain, 0);
  sockaddr_nl any{};
  any.nl_family = AF_NETLINK;
  ASSERT_EQ(::bind(plain, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  socklen_t length = sizeof any;
  ASSERT_EQ(::getsockname(plain, reinterpret_cast<sockaddr*>(&any), &length), 0);
  const std::string forged = "add@/devices/forged/ttyUSB9\0SUBSYSTEM=tty\0DEVNAME=ttyUSB9\0"s;
  auto send_to = [&](uint32_t port_id) {
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_pid = port_id;
    return ::sendto(sender, forged.data(), forged.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  };
  // The same datagram reaches an ordinary socket, so the drop below is the filter's doing.
  ASSERT_EQ(send_to(any.nl_pid), static_cast<ssize_t>(forged.size()));
  char echo[256];
  EXPECT_EQ(::recv(plain, echo, sizeof echo, 0), static_cast<ssize_t>(forged.size()));
  ASSERT_EQ(send_to(events.PortId()), static_cast<ssize_t>(forged.size()));

  constexpr int kWaitMs = 150;
  std::vector<uint8_t> datagram;
  const auto start = std::chrono::steady_clock::now();
  UeventSocket::Result r;
  // Whatever the kernel itself reports meanwhile is fine; the forged datagram never comes out.
  while ((r = events.Receive(datagram, kWaitMs, err)) == UeventSocket::Result::kEvent)
    EXPECT_NE(std::string(datagram.begin(), datagram.end()), forged);
  EXPECT_EQ(r, UeventSocket::Result::kTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kWaitMs));
  ::close(sender);
  ::close(plain);
}

}  // namespace
}  // namespace korvane
