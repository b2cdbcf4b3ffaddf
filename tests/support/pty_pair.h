// A pseudo-terminal pair: the library opens the slave by path, the test plays the line's far end
// on the master.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace korvane::test {

class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool Ok() const { return master_ >= 0; }
  const std::string& SlavePath() const { return slave_path_; }
  int Master() const { return master_; }

  void WriteMaster(const std::vector<uint8_t>& bytes);
  // Reads what arrived on the master within `timeout_ms` (stops early once `want` bytes are in).
  std::vector<uint8_t> ReadMaster(size_t want, int timeout_ms);
  // The far end goes away, as a pulled cable: the slave side hangs up.
  void CloseMaster();
  // The baud rate the slave side is set to, as the master sees it.
  uint32_t SlaveBaudRate() const;

 private:
  int master_ = -1;
  int slave_keepalive_ = -1;  // keeps the pair alive while the library opens and closes the slave
  std::string slave_path_;
};

}  // namespace korvane::test
