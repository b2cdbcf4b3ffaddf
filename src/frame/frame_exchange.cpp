#include "frame/frame_exchange.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "frame/frame_layout.h"
#include "log/call_stack.h"
#include "log/diag_log.h"
#include "log/log_time.h"

namespace korvane {

namespace {

constexpr int32_t kFrameSendTimeoutMs = 1000;
constexpr uint32_t kNakFrameMinLength = 12;
constexpr uint32_t kMaxBlockLength = 65535;
// Caller time-outs are clamped so that deadline arithmetic on the wrapping tick stays ordered.
constexpr uint32_t kMaxCallTimeoutMs = 0x7FFFFFFF;

void Dump(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Dump(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = StrFormatV(format, args);
  va_end(args);
  tsDump(text);
}

uint16_t FrameSizeOf(const TsPort* port) {
  uint32_t m = port && port->max_frame_size ? port->max_frame_size : kV2DefaultFrameSize;
  if (m > kLastFrameSize) m = kLastFrameSize;
  if (m <= kFragHeaderSize) m = kV2DefaultFrameSize;
  return static_cast<uint16_t>(m);
}

bool PortUsable(const TsPort* port) { return port && port->port && port->clock; }

void Drop(uint8_t* buffer, uint32_t& count, uint32_t n) {
  if (n >= count) {
    count = 0;
    return;
  }
  std::memmove(buffer, buffer + n, count - n);
  count -= n;
}

// Frames that passed their CRC but whose body cannot be what the code claims are treated like a
// damaged answer: the step failed, the same frame goes again.
// `wanted_fragment` is the fragment index a FRAG answer must carry (-1: any); index 0 is always
// welcome, as the terminal starting the block again.
bool AnswerWellFormed(const uint8_t* answer, int wanted_fragment) {
  const uint32_t len = FrameLength(answer);
  switch (FrameControlCode(answer)) {
    case kCtlSyn:
      return len >= kSynFrameSize;
    case kCtlNak:
      return len >= kNakFrameMinLength;
    case kCtlFrag: {
      if (len < kFragHeaderSize) return false;
      const uint8_t count = answer[kFragOffCount], index = answer[kFragOffIndex];
      return count >= 1 && index < count && (wanted_fragment < 0 || index == wanted_fragment || index == 0);
    }
    default:
      return true;
  }
}

void StoreVersions(TsPort* port, const uint8_t* syn) {
  port->remote_version = GetU16(syn + kFrameOffBody);
  port->remote_syn_block = GetU16(syn + kFrameOffBody + 2);
  port->max_frame_size = port->remote_version == kProtocolV2Large ? kV2LargeFrameSize : kV2DefaultFrameSize;
}

// True (and the version forgotten) when the SYN answer came from a v3 engine.
bool PeerIsV3(TsPort* port, const char* who, uint32_t id) {
  if (port->remote_version != kProtocolV3) return false;
  Dump("[%s:%8.8X] Устройство отвечает по протоколу v3, обмен по протоколу v2 прерван.", who, id);
  port->remote_version = 0;
  port->remote_syn_block = 0;
  return true;
}

// lastFrame is all zeros until a first exchange: then there is no previous frame to repeat.
bool HoldsFrame(const uint8_t* f) { return FrameLength(f) >= kFrameHeaderSize && FrameLength(f) <= kLastFrameSize; }

void CopyFrame(uint8_t* to, const uint8_t* from) {
  if (to != from) std::memcpy(to, from, FrameLength(from));
}

enum StepOutcome { kRetry, kUsable, kPortFailed, kOutOfTime };

// One step of tsSend / tsRecv with the retry rule applied. A port error ends the exchange at once,
// as in v3: the device is gone or broken, and waiting out the call's time-out cannot mend it.
StepOutcome Step(TsPort* port, const uint8_t* frame, uint8_t* answer, uint32_t& err, uint32_t deadline,
                 const char* who, uint32_t id, int wanted_fragment = -1) {
  TsStepContext ctx;
  ctx.port = port;
  ctx.frame = frame;
  ctx.answer = answer;
  ctx.timeout_ms = port->frame_timeout;
  const int32_t result = tsSendRecvFrame(ctx);
  if (ctx.err) err = ctx.err;
  // The terminal's NAK for a damaged frame is as much a loss as an answer that never came; a lost
  // answer is taken to be as long as the last one that arrived.
  const bool answered = result == kStepAnswer;
  if (answered) port->last_answer_length = FrameLength(answer);
  const bool damaged_on_the_way = answered && FrameControlCode(answer) == kCtlNak &&
                                  FrameLength(answer) >= kNakFrameMinLength &&
                                  (answer[kFrameOffBody] == E_NAK_CRC || answer[kFrameOffBody] == E_NAK_DROP);
  port->quality.Note(!answered || damaged_on_the_way, FrameLength(frame) + port->last_answer_length,
                     damaged_on_the_way || result == kStepBadCrc);
  if (result != kStepAnswer && ctx.err != 0) return kPortFailed;
  bool ok = result == kStepAnswer;
  if (ok && !AnswerWellFormed(answer, wanted_fragment)) {
    Dump("[%s:%8.8X] ответный фрейм не годится, nControlCode=%i, длина %u. Пытаемся повторить попытку.", who, id,
         FrameControlCode(answer), FrameLength(answer));
    ok = false;
  } else if (!ok) {
    Dump("[%s:%8.8X] tsSendRecvFrame вернул ошибку, nResult=%i. Пытаемся повторить попытку.", who, id, result);
  }
  if (!ok) {
    // A frame cut short would otherwise be sent again at once until the deadline: it costs the step
    // its time-out, as a lost answer does, but never runs past the call's deadline.
    if (port->frame_timeout < kV2MaxFrameTimeoutMs) port->frame_timeout = static_cast<uint16_t>(port->frame_timeout * 2);
    if (result == kStepWriteFailed || result == kStepReadFailed) {
      const int32_t left = TicksLeft(port->clock->Now(), deadline);
      if (left <= 0) return kOutOfTime;
      port->clock->Sleep(std::min(ctx.timeout_ms, static_cast<uint32_t>(left)));
    }
    return kRetry;
  }
  port->frame_timeout = kV2InitialFrameTimeoutMs;
  return kUsable;
}

uint32_t CallDeadline(const TsPort* port, uint32_t timeout_ms) {
  return port->clock->Now() + (timeout_ms > kMaxCallTimeoutMs ? kMaxCallTimeoutMs : timeout_ms);
}

bool BeforeDeadline(const TsPort* port, uint32_t deadline) { return TicksLeft(port->clock->Now(), deadline) >= 0; }

int32_t PortFailed(TsPort* port, uint8_t* last_frame) {
  tsResetLink(port, last_frame);
  return kTsPortError;
}

}  // namespace

uint32_t tsMakeSyn(uint8_t* frame, uint16_t number) {
  PutU16(frame + kFrameOffBody, kProtocolV2);
  PutU16(frame + kFrameOffBody + 2, kSynBlockVersion);
  FinishFrame(frame, number, kSynFrameSize, kCtlSyn);
  return kSynFrameSize;
}

uint32_t tsMakeReq(uint8_t* frame, uint16_t number, uint8_t fragment) {
  frame[kFrameOffBody] = 0;
  frame[kFrameOffBody + 1] = fragment;
  FinishFrame(frame, number, kReqFrameSize, kCtlReq);
  return kReqFrameSize;
}

uint32_t tsMakeNextFrame(uint8_t* frame, TsBlockState& state, const TsPort* port) {
  if (!frame || !state.data || state.length == 0) return 0;
  const uint16_t m = FrameSizeOf(port);
  if (state.count == 0) {
    // A block that needs more than 255 fragments or 65535 bytes cannot be numbered in 8/16 bits:
    // refusing it beats sending part of it and reporting success.
    if (state.length > kMaxBlockLength) return 0;
    if (state.length <= m - kFrameHeaderSize) {
      state.header = kFrameHeaderSize;
      state.chunk = static_cast<uint16_t>(state.length);
      state.count = 1;
    } else {
      state.header = kFragHeaderSize;
      state.chunk = static_cast<uint16_t>(m - kFragHeaderSize);
      const uint32_t count = (state.length + state.chunk - 1) / state.chunk;
      if (count > kMaxFragments) return 0;
      state.count = static_cast<uint8_t>(count);
    }
  }
  if (state.index >= state.count) return 0;
  const uint32_t offset = static_cast<uint32_t>(state.index) * state.chunk;
  const uint32_t rest = state.length - offset;
  const uint16_t n = static_cast<uint16_t>(rest < state.chunk ? rest : state.chunk);
  const bool fragmented = state.header == kFragHeaderSize;
  if (fragmented) {
    frame[kFragOffCount] = state.count;
    frame[kFragOffIndex] = state.index;
  }
  std::memcpy(frame + state.header, state.data + offset, n);
  FinishFrame(frame, state.number, static_cast<uint16_t>(state.header + n), fragmented ? kCtlFrag : kCtlData);
  return n;
}

void tsResetLink(TsPort* port, uint8_t* last_frame) {
  if (port && port->port) LvlPurge(port->port);
  if (last_frame) std::memset(last_frame, 0, kLastFrameSize);
}

int32_t tsSendRecvFrame(TsStepContext& ctx) {
  CallStackScope scope("tsSendRecvFrame()");
  TsPort* port = ctx.port;
  if (!PortUsable(port) || !ctx.frame || !ctx.answer) return kStepWriteFailed;
  if (port->max_frame_size == 0) port->max_frame_size = kV2DefaultFrameSize;
  const uint32_t id = port->port->Identity();
  const Clock& clock = *port->clock;

  const uint32_t length = FrameLength(ctx.frame);
  if (!HoldsFrame(ctx.frame)) return kStepWriteFailed;
  uint32_t err = 0;
  const uint32_t sent = LvlSend(port->port, ctx.frame, length, kFrameSendTimeoutMs, err);
  if (err != 0 || sent != length) {
    // A frame cut short is as good as lost: the terminal cannot answer it.
    ctx.err = err;
    Dump("[tsSendRecvFrame:%8.8X] ошибка LvlSend, nErrorCode=%u", id, err);
    return kStepWriteFailed;
  }

  const uint32_t capacity = FrameSizeOf(port);
  uint8_t* answer = ctx.answer;
  uint32_t count = 0;
  const uint32_t deadline = clock.Now() + ctx.timeout_ms;
  for (;;) {
    const int32_t left = TicksLeft(clock.Now(), deadline);
    if (left < 0) break;
    const uint32_t before = count;
    LvlReadMore(port->port, answer, count, capacity, left, err);
    if (err != 0) {
      ctx.err = err;
      Dump("[tsSendRecvFrame:%8.8X] ошибка LvlReadMore, nErrorCode=%u", id, err);
      return kStepReadFailed;
    }
    const bool empty = count == before;
    const FrameFound found = FindFrame(answer, count, 0, capacity);
    Drop(answer, count, found.start);
    if (found.length > 0) {
      if (found.crc_ok) return kStepAnswer;
      Dump("[tsSendRecvFrame:%8.8X] ошибка CRC при приеме ответа", id);
      return kStepBadCrc;
    }
    // A last poll at the deadline itself found nothing: waiting on would not end within it.
    if (empty && !clock.PauseAfterEmptyRead(deadline)) break;
  }
  Dump("[tsSendRecvFrame:%8.8X] таймаут на приеме ответа", id);
  return kStepNoAnswer;
}

int32_t tsSend(TsPort* port, uint8_t* last_frame, const uint8_t* data, uint32_t length, uint32_t timeout_ms,
               uint32_t& err) {
  CallStackScope scope("tsSend(len=%i)", static_cast<int>(length));
  if (!PortUsable(port) || !last_frame || !data || length == 0) return kTsBadArguments;
  const uint32_t id = port->port->Identity();
  const uint32_t deadline = CallDeadline(port, timeout_ms);
  err = 0;

  uint8_t local[kLastFrameSize];
  uint8_t answer[kLastFrameSize];
  TsBlockState block;
  block.data = data;
  block.length = length;
  block.number = static_cast<uint16_t>(FrameNumber(last_frame) + 1);
  const uint8_t* current = local;
  if (port->remote_version == 0) {
    Dump("[tsSend:%8.8X] Запрос версии протокола удаленного устройства.", id);
    tsMakeSyn(local, block.number);
  } else if (tsMakeNextFrame(local, block, port) == 0) {
    Dump("[tsSend:%8.8X] ошибка подготовки данных, не смогли сделать даже первый фрейм", id);
    return kTsBadArguments;
  }
  bool wrong_code = false;

  auto synchronise_as_current = [&] {
    tsMakeSyn(local, FrameNumber(current));
    current = local;
  };
  auto wrong_answer = [&](uint8_t code) -> bool {
    Dump("[tsSend:%8.8X] неверные ответный контрольный код, nControlCode=%i... сбой алгоритма? Пытаемся повторить "
         "попытку.",
         id, code);
    if (wrong_code) {
      Dump("[tsSend:%8.8X] Повторный неверный код. Видимо, нарушена логика обмена. Прерываем обмен с ошибкой "
           "E_ALG_CRASH.",
           id);
      tsResetLink(port, last_frame);
      return true;
    }
    wrong_code = true;
    Dump("[tsSend:%8.8X] Пытаемся произвести синхронизацию номеров фреймов.", id);
    synchronise_as_current();
    return false;
  };

  while (BeforeDeadline(port, deadline)) {
    const StepOutcome step = Step(port, current, answer, err, deadline, "tsSend", id);
    if (step == kPortFailed) return PortFailed(port, last_frame);
    if (step == kOutOfTime) break;
    if (step == kRetry) continue;
    const uint8_t code = FrameControlCode(answer);
    switch (code) {
      case kCtlAck:
        // An ACK can only acknowledge data; taken for a SYN it would skip a fragment unsent.
        if (FrameControlCode(current) == kCtlSyn) {
          if (wrong_answer(code)) return E_ALG_CRASH;
          break;
        }
        wrong_code = false;
        if (current == last_frame) {
          current = local;
          break;
        }
        CopyFrame(last_frame, current);
        ++block.index;
        ++block.number;
        if (tsMakeNextFrame(local, block, port) == 0) return 1;
        break;
      case kCtlSyn:
        StoreVersions(port, answer);
        Dump("[tsSend:%8.8X] Синхронизация прошла успешно. Версия протокола на клиенте: 0x%4.4X, версия клиентского "
             "SYN-блока: 0x%4.4X.",
             id, port->remote_version, port->remote_syn_block);
        if (PeerIsV3(port, "tsSend", id)) return kTsPeerIsV3;
        ++block.number;
        block.index = 0;
        block.count = 0;
        current = local;
        if (tsMakeNextFrame(local, block, port) == 0) {
          Dump("[tsSend:%8.8X] ошибка подготовки данных, не смогли сделать даже первый фрейм", id);
          return kTsBadArguments;
        }
        break;
      case kCtlNak: {
        wrong_code = false;
        const uint8_t nak = answer[kFrameOffBody];
        Dump("[tsSend:%8.8X] Получен NAK, nNAKError=%i", id, nak);
        switch (nak) {
          case E_NAK_CRC:
          case E_NAK_DROP:
            Dump("[tsSend:%8.8X] E_NAK_CRC (%i) или E_NAK_DROP (%i). Переповторяем фрейм.", id, E_NAK_CRC, E_NAK_DROP);
            break;
          case E_NAK_NUMBER:
            if (FrameNumber(answer) == FrameNumber(local)) {
              Dump("[tsSend:%8.8X] E_NAK_NUMBER. Клиент запрашивает повтор текущего фрейма.", id);
            } else if (HoldsFrame(last_frame) && FrameNumber(answer) == FrameNumber(last_frame)) {
              Dump("[tsSend:%8.8X] E_NAK_NUMBER. Клиент запрашивает повтор предыдущего фрейма.", id);
              current = last_frame;
            } else {
              Dump("[tsSend:%8.8X] E_NAK_NUMBER. Необходимо произвести синхронизацию номеров фреймов.", id);
              synchronise_as_current();
            }
            break;
          case E_NAK_OVERFLOW:
            Dump("[tsSend:%8.8X] E_NAK_OVERFLOW. Критическая ошибка - недостаточно выделено памяти на клиенте.", id);
            return kTsOverflow;
          case E_NAK_SEND_ON_SEND:
            Dump("[tsSend:%8.8X] E_NAK_SEND_ON_SEND. Критическая ошибка - встречные потоки данных.", id);
            tsResetLink(port, last_frame);
            return kTsCrossedStreams;
          default:
            Dump("[tsSend:%8.8X] E_NAK_?. Необработанный код ошибки. Выполняем синхронизацию.", id);
            synchronise_as_current();
            break;
        }
        break;
      }
      default:
        if (wrong_answer(code)) return E_ALG_CRASH;
        break;
    }
  }
  Dump("[tsSend:%8.8X] таймаут", id);
  tsResetLink(port, last_frame);
  return kTsTimeout;
}

int32_t tsRecv(TsPort* port, uint8_t* last_frame, uint8_t* buffer, uint32_t size, uint32_t timeout_ms, uint32_t& err) {
  CallStackScope scope("tsRecv(maxsize=%i)", static_cast<int>(size));
  if (!PortUsable(port) || !last_frame || !buffer || size == 0) return kTsBadArguments;
  const uint32_t id = port->port->Identity();
  const uint32_t deadline = CallDeadline(port, timeout_ms);
  err = 0;

  uint8_t local[kLastFrameSize];
  uint8_t answer[kLastFrameSize];
  uint32_t written = 0;
  const uint16_t first = static_cast<uint16_t>(FrameNumber(last_frame) + 1);
  const uint8_t* current = local;
  if (port->remote_version == 0) {
    Dump("[tsRecv:%8.8X] Запрос версии протокола удаленного устройства.", id);
    tsMakeSyn(local, first);
  } else {
    tsMakeReq(local, first, 0);
  }
  bool wrong_code = false;
  bool overflowed = false;

  while (BeforeDeadline(port, deadline)) {
    // Only the fragment asked for may be stored: another one would land at the wrong place.
    const int wanted = FrameControlCode(current) == kCtlReq ? current[kFragOffIndex] : 0;
    const StepOutcome step = Step(port, current, answer, err, deadline, "tsRecv", id, wanted);
    if (step == kPortFailed) return PortFailed(port, last_frame);
    if (step == kOutOfTime) break;
    if (step == kRetry) continue;
    const uint8_t code = FrameControlCode(answer);
    switch (code) {
      case kCtlData:
      case kCtlFrag: {
        wrong_code = false;
        if (current == last_frame) {
          current = local;
          break;
        }
        CopyFrame(last_frame, current);
        const uint32_t length = FrameLength(answer);
        if (code == kCtlData) {
          // A whole block: it starts at the buffer start whatever came before it.
          const uint32_t n = length - kFrameHeaderSize;
          if (n > size) {
            Dump("[tsRecv:%8.8X] Ошибка переполнения. Недостаточно выделено места в приемном буфере приложения.", id);
            return kTsOverflow;
          }
          std::memcpy(buffer, answer + kFrameHeaderSize, n);
          return static_cast<int32_t>(n);
        }
        const uint8_t count = answer[kFragOffCount], index = answer[kFragOffIndex];
        if (index == 0) written = 0;
        const uint32_t n = length - kFragHeaderSize;
        if (!overflowed && n > size - written) {
          Dump("[tsRecv:%8.8X] Ошибка переполнения (frag pt). Недостаточно выделено места в приемном буфере "
               "приложения.",
               id);
          overflowed = true;
        }
        // The rest of a block that overflowed is fetched and dropped: the peer keeps offering a
        // block until all of it was fetched, and a half-read one would answer every later request.
        if (overflowed) {
          if (index + 1 >= count) return kTsOverflow;
        } else {
          std::memcpy(buffer + written, answer + kFragHeaderSize, n);
          written += n;
          if (index + 1 >= count) return static_cast<int32_t>(written);
        }
        tsMakeReq(local, static_cast<uint16_t>(FrameNumber(answer) + 1), static_cast<uint8_t>(index + 1));
        current = local;
        break;
      }
      case kCtlSyn:
        StoreVersions(port, answer);
        Dump("[tsRecv:%8.8X] Синхронизация прошла успешно. Версия протокола на клиенте: 0x%4.4X, версия клиентского "
             "SYN-блока: 0x%4.4X.",
             id, port->remote_version, port->remote_syn_block);
        if (PeerIsV3(port, "tsRecv", id)) return kTsPeerIsV3;
        tsMakeReq(local, static_cast<uint16_t>(FrameNumber(answer) + 1), 0);
        current = local;
        break;
      case kCtlNak: {
        wrong_code = false;
        const uint8_t nak = answer[kFrameOffBody];
        Dump("[tsRecv:%8.8X] Получен NAK, nNAKError=%i", id, nak);
        switch (nak) {
          case E_NAK_CRC:
          case E_NAK_DROP:
            Dump("[tsRecv:%8.8X] E_NAK_CRC (%i) или E_NAK_DROP (%i). Переповторяем фрейм.", id, E_NAK_CRC, E_NAK_DROP);
            break;
          case E_NAK_NUMBER:
            if (FrameNumber(answer) == FrameNumber(local)) {
              Dump("[tsRecv:%8.8X] E_NAK_NUMBER. Клиент запрашивает повтор текущего фрейма.", id);
            } else if (HoldsFrame(last_frame) && FrameNumber(answer) == FrameNumber(last_frame)) {
              Dump("[tsRecv:%8.8X] E_NAK_NUMBER. Клиент запрашивает повтор предыдущего фрейма.", id);
              current = last_frame;
            } else {
              Dump("[tsRecv:%8.8X] E_NAK_NUMBER. Необходимо произвести синхронизацию номеров фреймов.", id);
              tsMakeSyn(local, FrameNumber(current));
              current = local;
            }
            break;
          case E_NAK_REQ_WHILE_RECV:
            Dump("[tsRecv:%8.8X] E_NAK_REQ_WHILE_RECV. Критическая ошибка - встречные потоки данных.", id);
            tsResetLink(port, last_frame);
            return kTsCrossedStreams;
          default:
            Dump("[tsRecv:%8.8X] E_NAK_?. Необработанный код ошибки. Пытаемся переповторить.", id);
            break;
        }
        break;
      }
      default:
        Dump("[tsRecv:%8.8X] неверные ответный контрольный код, nControlCode=%i... сбой алгоритма? Пытаемся "
             "повторить попытку.",
             id, code);
        if (wrong_code) {
          tsResetLink(port, last_frame);
          return E_ALG_CRASH;
        }
        wrong_code = true;
        tsMakeSyn(local, FrameNumber(current));
        current = local;
        break;
    }
  }
  Dump("[tsRecv:%8.8X] таймаут", id);
  tsResetLink(port, last_frame);
  return kTsTimeout;
}

}  // namespace korvane
