// Protocol v3: a byte stream in numbered frames with a sliding window, adaptive retransmission and
// NAKs for gaps, over a lower byte stream. Also carries the SYN handshake that tells v3 from v2.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "frame/line_quality.h"
#include "frame/read_write_stream.h"
#include "platform/ticks.h"

namespace korvane {

constexpr uint32_t kV3MaxFrameSize = 1024;
constexpr uint32_t kV3Window = 3;
constexpr uint32_t kMinRetransmitMs = 400;
constexpr uint32_t kMaxRetransmitMs = 6000;
constexpr uint32_t kCoalesceMs = 300;
constexpr uint32_t kStaleDataMs = 1500;
constexpr uint32_t kSyncSliceMs = 1000;
// Frames halve, to no less than this, on a line that loses them, and double after this many in a
// row got through at the first try, times their size over the smallest: growing costs a loss at
// the larger size, worth it only on a line that spares the smaller frames long enough. A frame of
// L bytes survives a line damaging a share q of bytes with probability (1 - q)^L: at 0.1% a full
// frame is lost two times in three, one of 128 bytes one time in eight.
constexpr uint32_t kV3SmallestFrame = 128;
constexpr uint32_t kV3CleanFramesToGrow = 8;
// While frames are lost (or smaller than the maximum for losses), a frame goes again when its ACK
// is this many of the longest recent acknowledgement delays late (never sooner than the floor,
// twice as long for each further copy): a lost frame or copy with nothing behind it would
// otherwise hold the window for a whole retransmission time-out. The longest delay, not the mean:
// on a slow line a frame queues behind the rest of the window.
constexpr uint32_t kRepeatRoundTrips = 2;
constexpr uint32_t kRepeatFloorMs = 50;
// An ACK of a frame this recently numbered and no longer queued shows a copy was sent needlessly.
constexpr uint16_t kSpuriousAckSpan = 64;

// Result codes of the v3 engine.
constexpr int32_t kFbDone = 1;
constexpr int32_t kFbTimeout = -1;
constexpr int32_t kFbLowerError = -7;
// The peer sent SYN mid-session and unacknowledged output was dropped with the queues; the call
// that reports it has already numbered the link afresh with a handshake of its own.
constexpr int32_t kFbPeerRestarted = -8;

struct CFrameItem {
  std::vector<uint8_t> bytes;
  bool filled = false;
  uint32_t stamp = 0;
  uint16_t read_offset = 11;
  // Outgoing frames: the order of the last transmission among all of them (0: never sent), and
  // how many times it went.
  uint32_t sent_order = 0;
  uint32_t sends = 0;
  bool lost = false;  // a NAK or a later frame's ACK proved a copy lost
};

class CFrameBuffer final : public _tag_ReadWriteStream {
 public:
  explicit CFrameBuffer(const Clock& clock = SystemClock());
  ~CFrameBuffer();
  CFrameBuffer(const CFrameBuffer&) = delete;
  CFrameBuffer& operator=(const CFrameBuffer&) = delete;

  void SetInitiator(bool initiator);
  // Attaching or detaching the lower stream starts a new session: nothing queued, half built or
  // half received survives it, and numbering starts over.
  void SetLower(_tag_ReadWriteStream* lower);
  void SetNextExpected(uint16_t number);
  void Configure(uint32_t max_frame_size, uint32_t window);
  // A Read that finds nothing ready first sends pending output, the partial frame included: a
  // request leaves before its answer is awaited. An owner that streams and forces its own last
  // frame when nothing more is coming turns that off, so every window round does not cut a short frame.
  void SetForceOnRead(bool force) { force_on_read_ = force; }
  // For a long run of writes (a table's rows): Write returns once its frames are queued and those
  // the window lets go have left, instead of waiting for the window to open again. The next Write
  // or Flush does that wait, so the window stays full while the owner prepares the next batch;
  // what is queued never exceeds one write beyond the window.
  void SetStreaming(bool streaming) { streaming_ = streaming; }

  int32_t Read(int32_t timeout_ms, uint8_t* buffer, uint32_t size, uint32_t& count, uint32_t& err) override;
  int32_t Write(int32_t timeout_ms, const uint8_t* data, uint32_t length, uint32_t& err) override;
  int32_t Flush(int32_t timeout_ms, uint32_t& err) override;
  // Writes the queued frames the window lets go, and those due again, without reading or waiting:
  // for an owner driven by arriving bytes, whose reads may have opened the window.
  int32_t SendDue(uint32_t& err) { return lower_ ? Send(0, false, err) : 0; }
  // Reads what the lower stream holds now, acknowledging and queueing its frames, without waiting:
  // an owner fed in bursts acknowledges a burst before it handles the records in it.
  int32_t Absorb(uint32_t& err) { return lower_ ? Pump(0, err) : 0; }
  // Sends SYN and waits for the peer's; 1 with its protocol version, 0 on silence or error.
  int32_t Sync(int32_t timeout_ms, uint16_t& peer_version, uint32_t& err);

  // State, for the owner and for tests.
  uint32_t RetransmitTimeout() const { return retransmit_ms_; }
  // The largest frame new data goes out in now: the configured maximum on a clean line, less
  // while frames are being lost.
  uint32_t FrameLimit() const { return frame_limit_; }
  // Since the lower stream was attached: frames sent again, and incoming frames with a bad CRC.
  uint32_t Retransmissions() const { return retransmissions_; }
  uint32_t CrcFailures() const { return crc_failures_; }
  uint16_t NextExpected() const { return next_expected_; }
  uint16_t NextOutgoing() const { return next_outgoing_; }
  uint16_t PeerProtocolVersion() const { return peer_version_; }
  uint16_t PeerSynBlockVersion() const { return peer_syn_block_; }
  size_t SendQueueSize() const { return send_queue_.size(); }
  size_t ReceiveQueueSize() const { return receive_queue_.size(); }
  uint32_t BuilderBodyBytes() const;
  // True when a filled frame leads the receive queue (data can be read without waiting).
  bool DataReady() const;
  // True when the next frame number lies inside the window, so a Write need not wait for an
  // acknowledgement. Fewer queued frames than the window is not enough: acknowledgements may
  // arrive out of order and leave an old frame holding the window's start.
  bool WindowOpen() const;
  // Changes whenever queued and buffered data was dropped (reset, sync, new session), so a reader
  // above that reassembles records knows to drop its half record too.
  uint32_t Session() const { return resets_; }
  // True after the peer restarted the link (its SYN mid-session) until a handshake renumbered it.
  bool ResyncPending() const { return resync_pending_; }
  // Frames sent again, and damaged or duplicate frames received, among the last ones.
  const LineQuality& Quality() const { return quality_; }
  void ResetQuality() { quality_.Reset(); }
  // Counts the peer's SYNs. To the side that does not initiate, each one is the peer starting
  // the link anew, whether or not the line was closed in between.
  uint32_t PeerSyns() const { return peer_syns_; }
  // True once after the peer's SYN dropped unacknowledged output; the next Write or Flush
  // reports it (-8) unless the owner took it here first.
  bool TakeOutputDropped();

 private:
  int32_t Pump(int32_t timeout_ms, uint32_t& err);
  int32_t Send(int32_t timeout_ms, bool force, uint32_t& err);
  int32_t WaitForWindow(int32_t timeout_ms, uint32_t& err);
  void Reset();
  // Our SYN and the peer's answer: both ends number from 2 again. 1 done, 0 no answer, or -7.
  int32_t Handshake(uint32_t deadline, uint32_t& err);
  // Before new output on a link the peer restarted: a handshake, then -8 when output was lost.
  int32_t ResyncIfRestarted(uint32_t deadline, uint32_t& err);
  void QueueBuilder();
  // Finds every complete frame in the receive bytes, dispatches it and drops what was consumed.
  uint32_t SearchAndDispatch();
  void OnSyn(const uint8_t* f, uint16_t length);
  void OnData(const uint8_t* f, uint16_t length);
  void OnAck(uint16_t number);
  void OnNak(uint16_t number);
  // Writes a queued frame again now (errors ignored), as a loss: smaller frames follow.
  void Resend(CFrameItem& item);
  // Writes a frame of the send queue; false on a lower error, `whole` as in WriteLower.
  bool Transmit(int32_t timeout_ms, CFrameItem& item, uint32_t& err, bool& whole);
  void NoteLoss(uint32_t lost_length);
  void NoteCleanDelivery();
  CFrameItem* FindReceived(uint16_t number);
  // False on a lower error; `whole` (when given) tells whether every byte went.
  bool WriteLower(int32_t timeout_ms, const uint8_t* data, uint32_t length, uint32_t& err, bool* whole = nullptr);
  void WriteControl(uint8_t control, uint16_t number, uint32_t& err, bool* lower_failed);
  // Sends the acknowledgements gathered while dispatching received frames, in one write.
  void WriteAcks();
  void WriteSyn(uint16_t number, uint32_t& err, bool* lower_failed);
  uint32_t Stamp() const;
  // Never sent (stamp 0), or the last transmission is more than a retransmission time-out ago.
  bool Overdue(uint32_t stamp) const;
  // Overdue, or, on a line losing frames, a frame whose ACK is later than RepeatWait.
  bool Due(const CFrameItem& item) const;
  uint32_t RepeatWait(const CFrameItem& item) const;
  int32_t TimeLeft(uint32_t deadline) const;

  const Clock& clock_;
  bool initiator_ = false;
  bool force_on_read_ = true;
  bool streaming_ = false;
  _tag_ReadWriteStream* lower_ = nullptr;
  std::vector<uint8_t> rx_;
  uint32_t rx_count_ = 0;
  uint32_t last_arrival_ = 0;
  uint32_t max_frame_ = 0;
  uint32_t window_ = 1;
  std::deque<CFrameItem> receive_queue_;
  uint16_t next_expected_ = 1;
  uint16_t first_expected_ = 1;  // next expected of a new session
  CFrameItem builder_;
  uint32_t builder_last_append_ = 0;
  std::deque<CFrameItem> send_queue_;
  // Scratch of Send and of the frame search: frames due and gathered acknowledgements, each
  // written at once.
  std::vector<uint8_t> burst_;
  std::vector<CFrameItem*> due_;
  std::vector<uint8_t> acks_;
  uint16_t next_outgoing_ = 1;
  uint16_t peer_version_ = 0;
  uint16_t peer_syn_block_ = 0;
  uint32_t retransmit_ms_ = kMinRetransmitMs;
  uint32_t ack_samples_ = 0;
  uint32_t frame_limit_ = 0;
  uint32_t clean_run_ = 0;
  uint32_t delay_max_ms_ = 0;  // of frames acknowledged after one transmission, decaying
  uint32_t sent_order_ = 0;
  uint32_t retransmissions_ = 0;
  uint32_t crc_failures_ = 0;
  // Counts resets, so a frame search notices that a SYN emptied the receive bytes under it.
  uint32_t resets_ = 0;
  uint32_t peer_syns_ = 0;
  bool output_dropped_ = false;
  bool in_handshake_ = false;
  bool resync_pending_ = false;
  LineQuality quality_;
};

}  // namespace korvane
