// The terminal's side of protocol v2, byte stream in and out: it answers every frame the PC sends
// with one frame, reassembles the PC's blocks and hands out the blocks its owner queued, fragment
// by fragment as the PC requests them. No threads and no transport: the owner feeds the bytes it
// read and writes the bytes it takes, so the same object serves a simulator, a pty, a socket and a
// unit test.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace korvane {

class V2Responder {
 public:
  using BlockHandler = std::function<void(std::vector<uint8_t>&& block)>;

  struct Stats {
    uint32_t frames = 0;         // frames with a good CRC
    uint32_t bad_crc = 0;        // answered with E_NAK_CRC
    uint32_t duplicates = 0;     // data frames acknowledged again without delivering them twice
    uint32_t repeated_reqs = 0;  // REQ frames answered again with the same frame
    uint32_t naks = 0;           // NAK frames sent
    uint32_t blocks_received = 0;
    uint32_t blocks_sent = 0;  // blocks whose last frame went out
  };

  // `version` is what this side's SYN carries: 0x0200 (frames of 230 bytes) or 0x0201 (8096).
  explicit V2Responder(uint16_t version);

  void SetVersion(uint16_t version);
  uint16_t Version() const { return version_; }
  // The largest frame this side sends and accepts, from its version.
  uint16_t FrameSize() const;
  // Blocks larger than this are refused with E_NAK_OVERFLOW.
  void SetMaxBlockSize(uint32_t bytes) { max_block_ = bytes; }
  // Whole blocks from the PC go to `handler`; without one they wait for PopReceived.
  void SetBlockHandler(BlockHandler handler) { handler_ = std::move(handler); }
  // Every connect of the PC begins with its version query, a SYN announcing protocol v3 (its own
  // renumbering SYNs announce v2). Blocks queued for the last connect are dropped, then `handler`
  // runs: on a line that stays open this is the only sign of a new session.
  void SetConnectHandler(std::function<void()> handler) { connect_handler_ = std::move(handler); }
  // The next DATA, FRAG or REQ frame is answered with NAK `code` instead of its proper answer; the
  // NAK carries `number`, or that frame's own number when `number` is negative.
  void ForceNakOnce(uint8_t code, int32_t number = -1);

  // Bytes read from the PC; answers collect in the output.
  void Feed(const uint8_t* data, size_t size);
  // Bytes to write to the PC (and forgets them).
  std::vector<uint8_t> TakeOutput();
  bool HasOutput() const { return !out_.empty(); }

  // Queues a block for the PC's next requests. False when it cannot be sent in 255 fragments.
  bool QueueBlock(const uint8_t* data, size_t size);
  bool PopReceived(std::vector<uint8_t>& block);
  // Blocks queued and not yet fetched whole by the PC.
  size_t BlocksToSend() const { return to_send_.size(); }
  const Stats& stats() const { return stats_; }

 private:
  void HandleFrame(const uint8_t* frame, uint16_t length);
  void OnSyn(const uint8_t* frame, uint16_t length);
  void OnData(const uint8_t* frame, uint16_t length);
  void OnReq(uint16_t number, uint8_t index);
  void Serve(uint16_t number, uint8_t index);
  void Deliver(std::vector<uint8_t>&& block);
  void Emit(uint16_t number, uint8_t control, const uint8_t* body, size_t body_size,
            std::vector<uint8_t>* copy = nullptr);
  void Nak(uint16_t number, uint8_t code);
  bool TakeForcedNak(uint16_t number);

  uint16_t version_;
  uint32_t max_block_;
  BlockHandler handler_;
  std::function<void()> connect_handler_;
  Stats stats_;

  std::vector<uint8_t> in_;
  std::vector<uint8_t> out_;

  // The PC's block being reassembled from fragments.
  std::vector<uint8_t> assembly_;
  bool assembling_ = false;
  uint8_t assembly_count_ = 0;
  uint8_t next_fragment_ = 0;
  // The last data frame acknowledged, whole, to recognise its resend after a lost ACK.
  std::vector<uint8_t> last_acked_;
  std::deque<std::vector<uint8_t>> received_;

  // Blocks for the PC; the front one is being fetched.
  std::deque<std::vector<uint8_t>> to_send_;
  bool front_done_ = false;  // the front block's last frame went out
  bool answered_req_ = false;
  uint16_t last_req_number_ = 0;
  uint8_t last_req_index_ = 0;
  std::vector<uint8_t> last_answer_;
  bool req_waiting_ = false;  // a REQ came while nothing was queued
  uint16_t waiting_number_ = 0;
  uint8_t waiting_index_ = 0;

  bool nak_forced_ = false;
  uint8_t forced_code_ = 0;
  int32_t forced_number_ = -1;
};

}  // namespace korvane
