// What travels between the link and the terminal program above the frame protocols: payload
// bytes, command codes, table kinds and the link's result codes. Shared by the link, the terminal
// side (simulator, test peer) and the tools.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane {

// Payload conventions: the first byte of every message or record tells what it is.
constexpr uint8_t kSOH = 0x01;  // a command: SOH + code
constexpr uint8_t kEOT = 0x04;  // end of table data: a row whose text starts with EOT
constexpr uint8_t kENQ = 0x05;  // a command answer: ENQ + the code that was sent
constexpr uint8_t kRS = 0x1E;   // a data record: RS + row or parameter text

constexpr uint32_t kCommandCodeLength = 3;
// The link check: SOH "--p", answered ENQ "--p".
inline constexpr const char* kCmdLinkCheck = "--p";
constexpr uint32_t kLinkCheckLength = 1 + kCommandCodeLength;
// Fields of a property answer are separated by this character.
constexpr char kFieldSeparator = ';';
// The verdict tag after "003".
inline constexpr const char* kVerdictTag = "SYNC";

// Protocol versions as the link holds them (shown as version / 100 with two decimals); the SYN
// frames carry 0x0200 / 0x0300 instead (frame_layout.h).
constexpr uint32_t kLinkVersionBlocks = 100;
constexpr uint32_t kLinkVersionV2 = 200;
constexpr uint32_t kLinkVersionV3 = 300;

// Limits of one message.
constexpr uint32_t kV2MaxRecordData = 8095;     // a v2 data record: RS + at most this many bytes
constexpr uint32_t kMaxRecordPayload = 65535;   // the record channel's configured maximum payload
constexpr uint32_t kRecordLengthPrefix = 2;     // 16-bit little-endian length that counts itself
constexpr uint32_t kRowBufferSize = 8192;       // rows are received into a buffer of this size
// The longest row a download can bring (the row buffer less one byte for the terminating zero).
constexpr uint32_t kMaxDownloadRow = kRowBufferSize - 1;
constexpr uint32_t kPropertyBufferSize = 1024;  // property answers likewise

// Command codes (the text after SOH).
inline constexpr const char* kCmdSyncDateTime = "303";
inline constexpr const char* kCmdIsReady = "998";
inline constexpr const char* kCmdEnableRecvMode = "999";
inline constexpr const char* kCmdResetAllFilters = "40R";
inline constexpr const char* kCmdGetLinesCount = "020";
inline constexpr const char* kCmdDownloadJournal = "021";   // kind 0
inline constexpr const char* kCmdDownloadJournal2 = "031";  // kind 1
inline constexpr const char* kCmdDownloadService = "1F2";   // kind 9
inline constexpr const char* kCmdBeep = "004";
inline constexpr const char* kCmdClearTable = "001";  // kinds 0 and 1 alike
inline constexpr const char* kCmdSetIdOperations = "881";
inline constexpr const char* kCmdSetIdPerformers = "883";
inline constexpr const char* kCmdSetIdAddresses = "885";
inline constexpr const char* kCmdSetIdDocuments = "887";
inline constexpr const char* kCmdGetIdOperations = "880";
inline constexpr const char* kCmdGetIdDocuments = "886";
inline constexpr const char* kCmdActivateUploading = "002";
inline constexpr const char* kCmdUploadOperations = "111";  // kind 2
inline constexpr const char* kCmdUploadPerformers = "121";  // kind 3
inline constexpr const char* kCmdUploadAddresses = "131";   // kind 4
inline constexpr const char* kCmdUploadDocuments = "141";   // kind 5
inline constexpr const char* kCmdUploadDocuments2 = "171";  // kind 6
inline constexpr const char* kCmdUploadGoods = "151";       // kind 7
inline constexpr const char* kCmdUploadGoods2 = "161";      // kind 8
inline constexpr const char* kCmdUploadService = "1F1";     // kind 9
inline constexpr const char* kCmdParseUploaded = "003";
inline constexpr const char* kCmdFilterIdOperations = "401";
inline constexpr const char* kCmdFilterIdPerformers = "403";
inline constexpr const char* kCmdFilterIdAddresses = "405";
inline constexpr const char* kCmdFilterIdDocuments = "407";
inline constexpr const char* kCmdFilterTextJournal = "409";  // kinds 0 and 1
inline constexpr const char* kCmdFilterTextGoods = "408";    // kind 7
inline constexpr const char* kCmdCloseAllForms = "000";
inline constexpr const char* kCmdReboot = "HLT";
inline constexpr const char* kCmdSoftwareInfo = "--s";
inline constexpr const char* kCmdHardwareInfo = "--h";

// Table kinds (nTableType).
enum TableKind : int32_t {
  kTableJournal = 0,
  kTableJournal2 = 1,
  kTableOperations = 2,
  kTablePerformers = 3,
  kTableAddresses = 4,
  kTableDocuments = 5,
  kTableDocuments2 = 6,
  kTableGoods = 7,
  kTableGoods2 = 8,
  kTableService = 9,
};
constexpr int32_t kTableKindCount = 10;

// Russian display name used inside messages; "<неизвестный тип таблицы>" outside 0..9.
const char* TableKindName(int32_t kind);
// English name the tools use for files and arguments ("journal" ... "service"); nullptr outside 0..9.
const char* TableKindFileName(int32_t kind);
// The kind whose file name is `name`, or -1.
int32_t TableKindFromFileName(const char* name);

// Command of each table operation for a kind; nullptr when the operation refuses the kind.
const char* DownloadCommand(int32_t kind);      // 0, 1, 9
const char* UploadCommand(int32_t kind);        // 2..9
const char* ClearTableCommand(int32_t kind);    // 0, 1
const char* SetCurrentIdCommand(int32_t kind);  // 2..5
const char* GetCurrentIdCommand(int32_t kind);  // 2, 5
const char* SetFilterIdCommand(int32_t kind);   // 2..5
const char* SetFilterTextCommand(int32_t kind); // 0, 1, 7
// True for the kinds whose row count is asked for before a download (0 and 1).
bool HasLinesCount(int32_t kind);

// Link result codes.
constexpr int32_t S_CONNECTED = 1;
constexpr int32_t S_LINK_OK = 0;
constexpr int32_t E_BAD_REQUEST = -3;
constexpr int32_t E_PORT_OPEN = -4;
constexpr int32_t E_EXCEPTION = -5;
constexpr int32_t E_EXCHANGE = -6;
constexpr int32_t E_NOT_CONNECTED = -7;
constexpr int32_t E_NO_PORT = -8;
constexpr int32_t E_NO_JOB = -101;
constexpr int32_t E_NOT_READY = -102;
constexpr int32_t E_NO_DATA = -103;
constexpr int32_t E_TERMINAL_PROCESSING = -104;

// Transfer result codes of both wire paths, keyed into TransferResultText.
constexpr int32_t kTransferOk = 1;
constexpr int32_t kTransferBadArguments = 0;
constexpr int32_t kTransferTimeout = -1;
constexpr int32_t kTransferOverflow = -2;
constexpr int32_t kTransferCrossedStreams = -3;
constexpr int32_t kTransferAlgorithmCrash = -4;
constexpr int32_t kTransferBadStream = -5;
constexpr int32_t kTransferBadAnswer = -6;
constexpr int32_t kTransferDeviceLost = -7;
// v3: the terminal restarted the link (SYN) and dropped what it had not acknowledged; the call that
// reports it has numbered the link afresh, so the next one goes through.
constexpr int32_t kTransferPeerRestarted = -8;

const char* TransferResultText(int32_t code);

// Fields of a property answer, split on ';'; empty fields (leading, trailing, repeated separators)
// produce nothing.
std::vector<std::string> SplitAnswerFields(const char* data, size_t length);

}  // namespace korvane
