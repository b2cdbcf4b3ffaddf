// Result texts, table kinds and the record channel's framing.
#include <gtest/gtest.h>

#include "frame/frame_buffer.h"
#include "frame/frame_layout.h"
#include "link/link_protocol.h"
#include "link/record_channel.h"
#include "support/memory_stream.h"

namespace korvane::test {
namespace {

TEST(LinkVocabulary, TransferResultTexts) {
  EXPECT_STREQ(TransferResultText(1), "нет ошибок");
  EXPECT_STREQ(TransferResultText(0), "неверные аргументы");
  EXPECT_STREQ(TransferResultText(-1), "превышен таймаут");
  EXPECT_STREQ(TransferResultText(-2), "на принимающей стороне выделено недостаточно памяти для приема этого пакета");
  EXPECT_STREQ(TransferResultText(-3), "встречные потоки данных");
  EXPECT_STREQ(TransferResultText(-4), "сбой алгоритма, протокол не может подтвердить доставку текущих данных");
  EXPECT_STREQ(TransferResultText(-5), "неверный поток данных");
  EXPECT_STREQ(TransferResultText(-6), "неверный ответ протокола");
  EXPECT_STREQ(TransferResultText(-7), "устройство потеряно или ошибка драйвера связи");
  EXPECT_STREQ(TransferResultText(2), "недокументированная ошибка");
  EXPECT_STREQ(TransferResultText(-8), "терминал перезапустил соединение, неподтвержденные данные потеряны");
  EXPECT_STREQ(TransferResultText(-9), "недокументированная ошибка");
}

TEST(LinkVocabulary, TableKinds) {
  const char* names[] = {"журнал", "журнал", "операции", "исполнители", "адреса", "документы", "документы2", "товары",
                         "товары2", "служебная"};
  const char* files[] = {"journal", "journal2", "operations", "performers", "addresses",
                         "documents", "documents2", "goods", "goods2", "service"};
  for (int32_t k = 0; k < kTableKindCount; ++k) {
    EXPECT_STREQ(TableKindName(k), names[k]);
    EXPECT_STREQ(TableKindFileName(k), files[k]);
    EXPECT_EQ(TableKindFromFileName(files[k]), k);
  }
  EXPECT_STREQ(TableKindName(10), "<неизвестный тип таблицы>");
  EXPECT_STREQ(TableKindName(-1), "<неизвестный тип таблицы>");
  EXPECT_EQ(TableKindFileName(10), nullptr);
  EXPECT_EQ(TableKindFromFileName("Goods"), -1);
  EXPECT_EQ(TableKindFromFileName(nullptr), -1);
}

TEST(LinkVocabulary, AnswerFieldsSkipEmptyOnes) {
  const std::string text = "5;;ready;";
  EXPECT_EQ(SplitAnswerFields(text.data(), text.size()), (std::vector<std::string>{"5", "ready"}));
  EXPECT_TRUE(SplitAnswerFields(";;", 2).empty());
  EXPECT_TRUE(SplitAnswerFields("", 0).empty());
}

TEST(RecordChannelTest, SendPrefixesTheLengthAndRefusesWhatDoesNotFit) {
  ManualClock clock;
  ScriptedStream stream(&clock);
  RecordChannel channel(kMaxRecordPayload, clock);
  channel.Bind(&stream);
  uint32_t err = 0;
  const uint8_t payload[] = {0x1E, 'a', 'b'};
  EXPECT_GT(channel.Send(100, payload, 3, err), 0);
  ASSERT_EQ(stream.Writes().size(), 1u);
  EXPECT_EQ(stream.Writes()[0], (Bytes{0x05, 0x00, 0x1E, 'a', 'b'}));
  EXPECT_EQ(channel.Send(100, payload, 0, err), 0);
  EXPECT_EQ(channel.Send(100, nullptr, 3, err), 0);
  std::vector<uint8_t> big(RecordChannel::kMaxWirePayload + 1, 'x');
  EXPECT_EQ(channel.Send(100, big.data(), static_cast<uint32_t>(big.size()), err), 0);
  EXPECT_GT(channel.Send(100, big.data(), RecordChannel::kMaxWirePayload, err), 0);
  EXPECT_EQ(stream.Writes().size(), 2u);
  EXPECT_EQ(stream.Writes()[1][0], 0xFF);
  EXPECT_EQ(stream.Writes()[1][1], 0xFF);

  // Gathered records a receive could not write out are lost: the next flush says so, once.
  channel.SetSendBatch(64);
  EXPECT_GT(channel.Send(100, payload, 3, err), 0);
  stream.FailWrites(7);
  uint8_t buffer[8];
  EXPECT_EQ(channel.Receive(50, buffer, sizeof buffer, err), 0);
  stream.FailWrites(0);
  EXPECT_EQ(channel.Flush(100, err), 0);
  EXPECT_EQ(err, 7u);
  EXPECT_GT(channel.Flush(100, err), 0);
  EXPECT_EQ(stream.Writes().size(), 2u);
}

TEST(RecordChannelTest, ReceiveAssemblesCutsAndRejects) {
  ManualClock clock;
  ScriptedStream stream(&clock);
  RecordChannel channel(kMaxRecordPayload, clock);
  channel.Bind(&stream);
  uint32_t err = 0;
  uint8_t buffer[4] = {};

  EXPECT_EQ(channel.Receive(50, buffer, sizeof(buffer), err), 0);  // nothing yet

  // A record that arrives in pieces is handed out once whole.
  stream.Feed({0x05, 0x00, 'x'});
  EXPECT_EQ(channel.Receive(50, buffer, sizeof(buffer), err), 0);
  stream.Feed({'y', 'z'});
  EXPECT_EQ(channel.Receive(50, buffer, sizeof(buffer), err), 3);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "xyz");

  // A longer record is cut to the buffer; the next one follows intact.
  stream.Feed({0x08, 0x00, '1', '2', '3', '4', '5', '6', 0x03, 0x00, 'q'});
  EXPECT_EQ(channel.Receive(50, buffer, sizeof(buffer), err), 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "1234");
  EXPECT_EQ(channel.Receive(50, buffer, sizeof(buffer), err), 1);
  EXPECT_EQ(buffer[0], 'q');

  for (uint8_t bad : {uint8_t{0}, uint8_t{1}}) {
    stream.Feed({bad, 0x00, 0x03, 0x00, 'w'});
    EXPECT_EQ(channel.Receive(50, buffer, sizeof(buffer), err), -5);
    // The stream is out of step: what was buffered is dropped, later records come through.
    stream.Feed({0x03, 0x00, 'k'});
    EXPECT_EQ(channel.Receive(50, buffer, sizeof(buffer), err), 1);
    EXPECT_EQ(buffer[0], 'k');
  }

  stream.FailNextRead(31);
  EXPECT_EQ(channel.Receive(50, buffer, sizeof(buffer), err), 0);
  EXPECT_EQ(err, 31u);
}

// The terminal restarts mid-record: the half record it sent before never prefixes the first record
// after its SYN.
TEST(RecordChannelTest, AHalfRecordEndsWithTheFrameBuffersSession) {
  ManualClock clock;
  ScriptedStream line(&clock);
  CFrameBuffer frames(clock);
  frames.Configure(kV3MaxFrameSize, kV3Window);
  frames.SetNextExpected(1);
  frames.SetInitiator(true);
  frames.SetLower(&line);
  RecordChannel channel(kMaxRecordPayload, clock);
  channel.Bind(&frames);
  auto frame = [](uint16_t number, uint8_t control, const Bytes& body) {
    Bytes f(kFrameHeaderSize + body.size());
    std::copy(body.begin(), body.end(), f.begin() + kFrameOffBody);
    FinishFrame(f.data(), number, static_cast<uint16_t>(f.size()), control);
    return f;
  };
  uint32_t err = 0;
  uint8_t buffer[16] = {};
  line.Feed(frame(1, kCtlData, {0x09, 0x00, kRS, 'h', 'a', 'l'}));
  EXPECT_EQ(channel.Receive(0, buffer, sizeof(buffer), err), 0);
  line.Feed(frame(1, kCtlSyn, {0x00, 0x03, 0x01, 0x00}));
  EXPECT_EQ(channel.Receive(0, buffer, sizeof(buffer), err), 0);
  line.Feed(frame(2, kCtlData, {0x06, 0x00, kRS, 'n', 'e', 'w'}));
  ASSERT_EQ(channel.Receive(0, buffer, sizeof(buffer), err), 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "\x1enew");
}

}  // namespace
}  // namespace korvane::test
