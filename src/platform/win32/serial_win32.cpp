#include <windows.h>

#include <atomic>
#include <cctype>

#include "platform/serial_device.h"

namespace korvane {

namespace {
constexpr DWORD kPurgeAllFlags = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kPurgeInputFlags = PURGE_RXABORT | PURGE_RXCLEAR;
constexpr const char* kDevicePrefix = "\\\\.\\";
static_assert(sizeof(DCB) == 28, "DCBlength written to the device is 28");

HANDLE AsHandle(void* h) { return static_cast<HANDLE>(h); }

int __stdcall SystemReadFile(void* h, void* buffer, unsigned long size, unsigned long* done, void*) {
  return ::ReadFile(AsHandle(h), buffer, size, done, nullptr);
}
int __stdcall SystemWriteFile(void* h, const void* data, unsigned long size, unsigned long* done, void*) {
  return ::WriteFile(AsHandle(h), data, size, done, nullptr);
}
int __stdcall SystemClearCommError(void* h, unsigned long* errors, void*) {
  return ::ClearCommError(AsHandle(h), errors, nullptr);
}
// Keeps the system error of a failed set-up call for LastError, so the caller's log can tell why.
bool Kept(bool ok, uint32_t& last_error) {
  if (!ok) last_error = ::GetLastError();
  return ok;
}

constexpr SerialDataCalls kSystemDataCalls = {SystemReadFile, SystemWriteFile, SystemClearCommError};
std::atomic<const SerialDataCalls*> g_data_calls{&kSystemDataCalls};

// COM10 and above exist only in the device namespace; "\\.\COMn" names every COM port alike.
std::string DeviceName(const std::string& name) {
  if (name.size() < 4 || std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
      std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
      std::toupper(static_cast<unsigned char>(name[2])) != 'M')
    return name;
  for (size_t i = 3; i < name.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return name;
  return kDevicePrefix + name;
}
}  // namespace

const SerialDataCalls* SetSerialDataCalls(const SerialDataCalls* calls) {
  return g_data_calls.exchange(calls ? calls : &kSystemDataCalls);
}

SerialDevice::~SerialDevice() { Close(); }

bool SerialDevice::Open(const std::string& name, bool attribute_normal, uint32_t& err) {
  Close();
  HANDLE h = ::CreateFileA(DeviceName(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           attribute_normal ? FILE_ATTRIBUTE_NORMAL : 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    err = ::GetLastError();
    return false;
  }
  handle_ = h;
  err = 0;
  return true;
}

bool SerialDevice::IsOpen() const { return AsHandle(handle_) != INVALID_HANDLE_VALUE; }

void SerialDevice::Close() {
  if (IsOpen()) ::CloseHandle(AsHandle(handle_));
  handle_ = INVALID_HANDLE_VALUE;
}

bool SerialDevice::SetupQueues(uint32_t in_bytes, uint32_t out_bytes) {
  return Kept(::SetupComm(AsHandle(handle_), in_bytes, out_bytes) != 0, last_error_);
}

bool SerialDevice::GetTimeouts(SerialTimeouts& t) const {
  COMMTIMEOUTS ct{};
  if (!::GetCommTimeouts(AsHandle(handle_), &ct)) return false;
  t.read_interval = ct.ReadIntervalTimeout;
  t.read_multiplier = ct.ReadTotalTimeoutMultiplier;
  t.read_constant = ct.ReadTotalTimeoutConstant;
  t.write_multiplier = ct.WriteTotalTimeoutMultiplier;
  t.write_constant = ct.WriteTotalTimeoutConstant;
  return true;
}

bool SerialDevice::SetTimeouts(const SerialTimeouts& t) {
  COMMTIMEOUTS ct{};
  ct.ReadIntervalTimeout = t.read_interval;
  ct.ReadTotalTimeoutMultiplier = t.read_multiplier;
  ct.ReadTotalTimeoutConstant = t.read_constant;
  ct.WriteTotalTimeoutMultiplier = t.write_multiplier;
  ct.WriteTotalTimeoutConstant = t.write_constant;
  return Kept(::SetCommTimeouts(AsHandle(handle_), &ct) != 0, last_error_);
}

bool SerialDevice::GetState(SerialLineState& s) const {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(AsHandle(handle_), &dcb)) return false;
  s = SerialLineState{};
  s.baud_rate = dcb.BaudRate;
  s.binary = dcb.fBinary;
  s.parity_check = dcb.fParity;
  s.cts_flow = dcb.fOutxCtsFlow;
  s.dsr_flow = dcb.fOutxDsrFlow;
  s.dtr_control = static_cast<LineControl>(dcb.fDtrControl);
  s.dsr_sensitivity = dcb.fDsrSensitivity;
  s.tx_continue_on_xoff = dcb.fTXContinueOnXoff;
  s.xon_xoff_out = dcb.fOutX;
  s.xon_xoff_in = dcb.fInX;
  s.error_char = dcb.fErrorChar;
  s.null_discard = dcb.fNull;
  s.rts_control = static_cast<LineControl>(dcb.fRtsControl);
  s.abort_on_error = dcb.fAbortOnError;
  s.byte_size = dcb.ByteSize;
  s.parity = dcb.Parity;
  s.stop_bits = dcb.StopBits;
  s.xon_char = static_cast<uint8_t>(dcb.XonChar);
  s.xoff_char = static_cast<uint8_t>(dcb.XoffChar);
  return true;
}

bool SerialDevice::SetState(const SerialLineState& s) {
  DCB dcb{};
  // Fields this layer does not map (XON/XOFF limits) keep the device's values.
  if (!s.from_zero && !Kept(::GetCommState(AsHandle(handle_), &dcb) != 0, last_error_)) return false;
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = s.baud_rate;
  dcb.fBinary = s.binary;
  dcb.fParity = s.parity_check;
  dcb.fOutxCtsFlow = s.cts_flow;
  dcb.fOutxDsrFlow = s.dsr_flow;
  dcb.fDtrControl = static_cast<DWORD>(s.dtr_control);
  dcb.fDsrSensitivity = s.dsr_sensitivity;
  dcb.fTXContinueOnXoff = s.tx_continue_on_xoff;
  dcb.fOutX = s.xon_xoff_out;
  dcb.fInX = s.xon_xoff_in;
  dcb.fErrorChar = s.error_char;
  dcb.fNull = s.null_discard;
  dcb.fRtsControl = static_cast<DWORD>(s.rts_control);
  dcb.fAbortOnError = s.abort_on_error;
  dcb.ByteSize = s.byte_size;
  dcb.Parity = s.parity;
  dcb.StopBits = s.stop_bits;
  if (s.from_zero) {
    dcb.XonChar = static_cast<char>(s.xon_char);
    dcb.XoffChar = static_cast<char>(s.xoff_char);
  }
  return Kept(::SetCommState(AsHandle(handle_), &dcb) != 0, last_error_);
}

bool SerialDevice::Read(uint8_t* buffer, uint32_t size, uint32_t& done) {
  DWORD n = 0;
  const bool ok = g_data_calls.load()->read_file(handle_, buffer, size, &n, nullptr) != 0;
  last_error_ = ok ? 0 : ::GetLastError();
  done = n;
  return ok;
}

bool SerialDevice::Write(const uint8_t* data, uint32_t size, uint32_t& done) {
  DWORD n = 0;
  const bool ok = g_data_calls.load()->write_file(handle_, data, size, &n, nullptr) != 0;
  last_error_ = ok ? 0 : ::GetLastError();
  done = n;
  return ok;
}

uint32_t SerialDevice::ClearError() {
  DWORD errors = 0;
  const bool read = g_data_calls.load()->clear_comm_error(handle_, &errors, nullptr) != 0;
  const uint32_t failed_call = last_error_;
  last_error_ = 0;
  // An unplugged adapter fails ClearCommError too; 0 would send the caller into its whole
  // time-out on a dead device.
  if (!read || errors == 0) return failed_call;
  return errors;
}

bool SerialDevice::PurgeAll() { return ::PurgeComm(AsHandle(handle_), kPurgeAllFlags) != 0; }

bool SerialDevice::PurgeInput() { return ::PurgeComm(AsHandle(handle_), kPurgeInputFlags) != 0; }

bool SerialDevice::SetDtr(bool on) { return ::EscapeCommFunction(AsHandle(handle_), on ? SETDTR : CLRDTR) != 0; }

}  // namespace korvane
