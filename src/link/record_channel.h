// Length-prefixed records over the v3 byte stream. Both ends of a link use it: the link over its
// initiating frame buffer, the terminal side over a non-initiating one.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "frame/frame_buffer.h"
#include "frame/read_write_stream.h"
#include "link/link_protocol.h"
#include "platform/ticks.h"

namespace korvane {

class RecordChannel {
 public:
  explicit RecordChannel(uint32_t max_payload = kMaxRecordPayload, const Clock& clock = SystemClock());

  // Binding forgets buffered input. Over a frame buffer a half record also ends with the frame
  // buffer's session (a sync, a peer's restart, a new port), whoever started it.
  void Bind(_tag_ReadWriteStream* stream);
  void Bind(CFrameBuffer* frames);
  void Bind(std::nullptr_t) { Bind(static_cast<_tag_ReadWriteStream*>(nullptr)); }
  _tag_ReadWriteStream* Stream() const { return stream_; }
  // Forgets buffered input (a new connection starts a new stream).
  void ResetInput();

  // Records sent back to back (a table's rows) are gathered up to this many bytes and written to
  // the stream together: every stream write looks at the line for acknowledgements, and one look
  // per short record costs more than moving it. 0 writes each record at once. Gathered records
  // leave with the next Flush or Receive; a failed write drops them and reports the failure.
  void SetSendBatch(uint32_t bytes) { send_batch_ = bytes; }
  // Bytes of records accepted but not yet written to the stream.
  uint32_t PendingSendBytes() const { return static_cast<uint32_t>(tx_.size()); }

  // Results are transfer result codes: positive on success.
  int32_t Send(int32_t timeout_ms, const uint8_t* data, uint32_t length, uint32_t& err);
  // Also fails, once, when a Receive could not write out records gathered before it (they are
  // lost), with that write's result and error.
  int32_t Flush(int32_t timeout_ms, uint32_t& err);
  // Copies the next record's payload (cut to `size`); 0 when no whole record came in time.
  int32_t Receive(int32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& err);
  // The whole payload length of the record the last successful Receive returned, so a caller can
  // tell a record that was cut to its buffer.
  uint32_t LastPayloadLength() const { return last_payload_; }
  // Drops the whole records that have come in (a half record stays, so the stream keeps in step)
  // without writing anything; the number dropped, or a transfer failure.
  int32_t DropReceived(uint32_t& err);

  // Largest payload one record can carry (the 16-bit length counts itself).
  static constexpr uint32_t kMaxWirePayload = 0xFFFF - kRecordLengthPrefix;

 private:
  bool HoldsCompleteRecord() const;
  // The next whole record, read from the stream for up to `timeout_ms` if none is buffered.
  int32_t Take(int32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& err, bool& taken);
  int32_t WritePending(int32_t timeout_ms, uint32_t& err);
  bool SessionChanged() const { return frames_ != nullptr && frames_->Session() != session_; }

  _tag_ReadWriteStream* stream_ = nullptr;
  const CFrameBuffer* frames_ = nullptr;
  uint32_t session_ = 0;
  const Clock& clock_;
  std::vector<uint8_t> rx_;
  uint32_t filled_ = 0;
  uint32_t offset_ = 0;
  uint32_t last_payload_ = 0;
  uint32_t max_payload_;
  uint32_t send_batch_ = 0;
  // Records not yet written, and the frame session they were meant for.
  std::vector<uint8_t> tx_;
  uint32_t tx_session_ = 0;
  // Gathered records a Receive failed to write, not yet reported by a Flush.
  bool lost_ = false;
  int32_t lost_result_ = 0;
  uint32_t lost_err_ = 0;
};

}  // namespace korvane
