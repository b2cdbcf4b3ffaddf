// The bottom stream: forwards to the port layer for one open port.
#pragma once
#include "frame/read_write_stream.h"
#include "port/link_port.h"

namespace korvane {

class CLvlStream final : public _tag_ReadWriteStream {
 public:
  void Attach(LinkPort* port) { port_ = port; }
  LinkPort* Port() const { return port_; }

  // Read and Write return counts (bytes held / written); callers judge success by err.
  int32_t Read(int32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& count, uint32_t& err) override;
  int32_t Write(int32_t timeout_ms, const uint8_t* data, uint32_t length, uint32_t& err) override;
  // Drops pending input and output; always 1.
  int32_t Flush(int32_t timeout_ms, uint32_t& err) override;

 private:
  LinkPort* port_ = nullptr;
};

}  // namespace korvane
