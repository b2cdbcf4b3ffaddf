// The parts of korvane doctor each system does its own way: which ports it lists, why an open
// was refused, and who else holds a port.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvane::tools {

struct Holder {
  long pid = 0;
  std::string name;
};

struct RoundTrips {
  int count = 0;
  int failed = 0;
  double min_ms = 0;
  double median_ms = 0;
  double max_ms = 0;
  // The frame engine's own counts over the link checks.
  uint64_t frames = 0;
  uint64_t retransmissions = 0;
  uint64_t crc_failures = 0;
  double rows_per_s = 0;
};

struct PortReport {
  std::string port;
  std::string kind;       // serial, usb, tcp
  bool listed = false;    // found by the enumeration rather than given
  bool infrared = false;  // a serial port with an infrared adapter (--irda)
  std::string status;     // terminal, no-answer, missing, vanished, busy, denied, refused, timeout, ...
  uint32_t error = 0;     // the system's number when the open failed
  std::string message;    // what to do, for people
  std::vector<Holder> holders;
  std::string group;  // the group whose members may open the device
  uint32_t protocol = 0;
  std::string program, version, device, device_id;  // the terminal's charset
  std::optional<int32_t> job_id;
  std::optional<RoundTrips> round_trips;
  double seconds = 0;
};

// The ports this PC lists where a terminal may be.
std::vector<std::string> DoctorListedPorts();
// Fills in status and message for an open of `device` refused with `err` when it is this
// system's busy, permission or a trouble it knows by name; false leaves it to the common texts.
bool DiagnoseRefusedOpen(const std::string& device, uint32_t err, PortReport& r);
// Names the other programs that hold `device` open in r.holders and r.message, where the system
// says who they are.
void NoteOtherHolders(const std::string& device, PortReport& r);

}  // namespace korvane::tools
