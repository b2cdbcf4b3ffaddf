// A WinUSB device and library for tests: pipe sets, IN data arriving on the manual clock, reads
// that complete asynchronously as on a bulk IN pipe (on a full buffer, a short packet or the
// transfer time-out, reporting what moved), injected errors, recorded pipe calls and policies,
// and counts of what is open. It also notes every misuse a real stack would punish: an overlapped record, event
// or interface reused or freed while its read is still in flight, and zero-byte reads.
// One fake is current at a time (the entry points have no context pointer to find it by).
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/ticks.h"
#include "port/winusb_api.h"

namespace korvane::test {

class FakeWinUsb {
 public:
  static constexpr uint8_t kInPipe = 0x81;
  static constexpr uint8_t kOutPipe = 0x02;
  static constexpr int32_t kBulk = 2;
  static constexpr int32_t kInterrupt = 3;
  static constexpr uint16_t kMaxPacket = 64;

  struct Pipe {
    int32_t type;
    uint8_t id;
  };
  struct Policy {
    uint8_t pipe;
    uint32_t type;
    uint32_t length;
    uint32_t value;
    bool operator==(const Policy&) const = default;
  };
  // Calls that can be made to fail.
  enum class Call { kOpenDevice, kInitialize, kQueryInterfaceSettings, kReadPipe, kWritePipe, kGetOverlappedResult };

  explicit FakeWinUsb(ManualClock& clock);
  ~FakeWinUsb();
  FakeWinUsb(const FakeWinUsb&) = delete;
  FakeWinUsb& operator=(const FakeWinUsb&) = delete;

  // A loader over this fake; the library can be missing or lack one entry point.
  std::unique_ptr<WinUsbLoader> Loader();
  void SetLibraryMissing(bool missing) { library_missing_ = missing; }
  void DropEntryPoint(const std::string& name) { dropped_ = name; }
  int Loads() const { return loads_; }
  int Unloads() const { return unloads_; }

  // The interface's endpoints, in index order (default: bulk IN 0x81, bulk OUT 0x02).
  void SetPipes(std::vector<Pipe> pipes) { pipes_ = std::move(pipes); }
  // The next call of `call` fails with `error`.
  void Fail(Call call, uint32_t error) { failures_[call] = error; }
  // IN data reaching the host at `tick` (Arrive: now), in packets of kMaxPacket bytes; a length
  // that is a multiple of it ends with no short packet, and an empty one is a zero-length packet.
  void ArriveAt(uint32_t tick, std::vector<uint8_t> bytes);
  void Arrive(std::vector<uint8_t> bytes) { ArriveAt(clock_.Now(), std::move(bytes)); }
  void Arrive(const std::string& text) { Arrive(std::vector<uint8_t>(text.begin(), text.end())); }
  // Sees every OUT transfer; called whenever the fake looks for IN data (a peer answers there).
  void SetOnWrite(std::function<void(const uint8_t*, uint32_t)> on_write) { on_write_ = std::move(on_write); }
  void SetService(std::function<void()> service) { service_ = std::move(service); }
  void KeepWrites(bool keep) { keep_writes_ = keep; }

  const std::vector<uint8_t>& Written() const { return written_; }
  const std::vector<Policy>& Policies() const { return policies_; }
  void ClearPolicies() { policies_.clear(); }
  // Pipe-level calls in order, as "AbortPipe 81", "ResetPipe 02", "ReadPipe 81 4096".
  const std::vector<std::string>& Calls() const { return calls_; }
  void ClearCalls() { calls_.clear(); }
  const std::vector<std::string>& Misuse() const { return misuse_; }
  std::string OpenedPath() const { return opened_path_; }
  // Files, interfaces and events not closed.
  int OpenHandles() const { return static_cast<int>(files_.size() + interfaces_.size() + events_.size()); }
  int ReadsInFlight() const;
  uint32_t PipeTimeout(uint8_t pipe) const;
  size_t PendingInBytes() const;

  // The current fake, for the entry points.
  static FakeWinUsb& Current();

  // Entry-point bodies (called through the table).
  UsbBool Initialize(UsbHandle device, UsbHandle* iface);
  UsbBool Free(UsbHandle iface);
  UsbBool QueryInterfaceSettings(UsbHandle iface, uint8_t alternate, UsbInterfaceDescriptor* out);
  UsbBool QueryPipe(UsbHandle iface, uint8_t alternate, uint8_t index, UsbPipeInformation* out);
  UsbBool ReadPipe(UsbHandle iface, uint8_t pipe, uint8_t* buffer, uint32_t length, uint32_t* transferred,
                   UsbOverlapped* overlapped);
  UsbBool WritePipe(UsbHandle iface, uint8_t pipe, uint8_t* buffer, uint32_t length, uint32_t* transferred,
                    UsbOverlapped* overlapped);
  UsbBool PipeCall(const char* name, UsbHandle iface, uint8_t pipe);
  UsbBool SetPipePolicy(UsbHandle iface, uint8_t pipe, uint32_t type, uint32_t length, void* value);
  UsbBool GetOverlappedResult(UsbHandle iface, UsbOverlapped* overlapped, uint32_t* transferred, UsbBool wait);
  UsbBool Unsupported();
  UsbHandle OpenDevice(const char* path);
  void CloseHandle(UsbHandle handle);
  UsbHandle CreateEvent();
  void ResetEvent(UsbHandle event);
  bool WaitEvent(UsbHandle event, uint32_t ms);
  uint32_t LastError() const { return last_error_; }

 private:
  struct Transfer {
    uint8_t pipe;
    UsbHandle event;
    uint8_t* buffer;
    uint32_t length;
    uint32_t start;
    uint32_t timeout;  // the pipe's transfer time-out when started; 0: none
    bool aborted = false;
    bool done = false;
    uint32_t status = 0;
    uint32_t transferred = 0;
  };
  bool Failing(Call call);
  UsbBool Fails(uint32_t error);
  // Completes `t` if its data, time-out or abort has come by now.
  void Progress(Transfer& t);
  // When `t` would complete by itself; false when never.
  bool NextEvent(const Transfer& t, uint32_t& when) const;
  Transfer* TransferOf(UsbHandle event);
  void NoteMisuse(const std::string& what) { misuse_.push_back(what); }

  ManualClock& clock_;
  FakeWinUsb* previous_;
  bool library_missing_ = false;
  std::string dropped_;
  int loads_ = 0;
  int unloads_ = 0;
  std::vector<Pipe> pipes_{{kBulk, kInPipe}, {kBulk, kOutPipe}};
  std::map<Call, uint32_t> failures_;
  struct Packet {
    uint32_t tick;
    std::vector<uint8_t> bytes;  // what a read has not taken yet
    bool is_short;               // shorter than kMaxPacket when sent: it ends the transfer
  };
  std::deque<Packet> arrivals_;  // by time
  std::function<void(const uint8_t*, uint32_t)> on_write_;
  std::function<void()> service_;
  bool keep_writes_ = true;
  std::vector<uint8_t> written_;
  std::vector<Policy> policies_;
  std::map<uint8_t, uint32_t> pipe_timeouts_;
  std::vector<std::string> calls_;
  std::vector<std::string> misuse_;
  std::string opened_path_;
  std::set<uintptr_t> files_, interfaces_, events_;
  uintptr_t next_handle_ = 0x1000;
  std::map<UsbOverlapped*, Transfer> transfers_;
  uint32_t last_error_ = 0;
};

}  // namespace korvane::test
