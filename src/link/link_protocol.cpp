#include "link/link_protocol.h"

#include <cstring>

namespace korvane {

namespace {

constexpr const char* kKindNames[kTableKindCount] = {
    "журнал", "журнал", "операции", "исполнители", "адреса", "документы", "документы2", "товары", "товары2",
    "служебная",
};
constexpr const char* kUnknownKindName = "<неизвестный тип таблицы>";

constexpr const char* kKindFileNames[kTableKindCount] = {
    "journal", "journal2", "operations", "performers", "addresses",
    "documents", "documents2", "goods", "goods2", "service",
};

bool InRange(int32_t kind) { return kind >= 0 && kind < kTableKindCount; }

}  // namespace

const char* TableKindName(int32_t kind) { return InRange(kind) ? kKindNames[kind] : kUnknownKindName; }

const char* TableKindFileName(int32_t kind) { return InRange(kind) ? kKindFileNames[kind] : nullptr; }

int32_t TableKindFromFileName(const char* name) {
  if (name == nullptr) return -1;
  for (int32_t k = 0; k < kTableKindCount; ++k) {
    if (std::strcmp(name, kKindFileNames[k]) == 0) return k;
  }
  return -1;
}

const char* DownloadCommand(int32_t kind) {
  switch (kind) {
    case kTableJournal: return kCmdDownloadJournal;
    case kTableJournal2: return kCmdDownloadJournal2;
    case kTableService: return kCmdDownloadService;
    default: return nullptr;
  }
}

const char* UploadCommand(int32_t kind) {
  switch (kind) {
    case kTableOperations: return kCmdUploadOperations;
    case kTablePerformers: return kCmdUploadPerformers;
    case kTableAddresses: return kCmdUploadAddresses;
    case kTableDocuments: return kCmdUploadDocuments;
    case kTableDocuments2: return kCmdUploadDocuments2;
    case kTableGoods: return kCmdUploadGoods;
    case kTableGoods2: return kCmdUploadGoods2;
    case kTableService: return kCmdUploadService;
    default: return nullptr;
  }
}

const char* ClearTableCommand(int32_t kind) {
  return (kind == kTableJournal || kind == kTableJournal2) ? kCmdClearTable : nullptr;
}

const char* SetCurrentIdCommand(int32_t kind) {
  switch (kind) {
    case kTableOperations: return kCmdSetIdOperations;
    case kTablePerformers: return kCmdSetIdPerformers;
    case kTableAddresses: return kCmdSetIdAddresses;
    case kTableDocuments: return kCmdSetIdDocuments;
    default: return nullptr;
  }
}

const char* GetCurrentIdCommand(int32_t kind) {
  switch (kind) {
    case kTableOperations: return kCmdGetIdOperations;
    case kTableDocuments: return kCmdGetIdDocuments;
    default: return nullptr;
  }
}

const char* SetFilterIdCommand(int32_t kind) {
  switch (kind) {
    case kTableOperations: return kCmdFilterIdOperations;
    case kTablePerformers: return kCmdFilterIdPerformers;
    case kTableAddresses: return kCmdFilterIdAddresses;
    case kTableDocuments: return kCmdFilterIdDocuments;
    default: return nullptr;
  }
}

const char* SetFilterTextCommand(int32_t kind) {
  switch (kind) {
    case kTableJournal:
    case kTableJournal2: return kCmdFilterTextJournal;
    case kTableGoods: return kCmdFilterTextGoods;
    default: return nullptr;
  }
}

bool HasLinesCount(int32_t kind) { return kind == kTableJournal || kind == kTableJournal2; }

const char* TransferResultText(int32_t code) {
  switch (code) {
    case kTransferOk: return "нет ошибок";
    case kTransferBadArguments: return "неверные аргументы";
    case kTransferTimeout: return "превышен таймаут";
    case kTransferOverflow: return "на принимающей стороне выделено недостаточно памяти для приема этого пакета";
    case kTransferCrossedStreams: return "встречные потоки данных";
    case kTransferAlgorithmCrash: return "сбой алгоритма, протокол не может подтвердить доставку текущих данных";
    case kTransferBadStream: return "неверный поток данных";
    case kTransferBadAnswer: return "неверный ответ протокола";
    case kTransferDeviceLost: return "устройство потеряно или ошибка драйвера связи";
    case kTransferPeerRestarted: return "терминал перезапустил соединение, неподтвержденные данные потеряны";
    default: return "недокументированная ошибка";
  }
}

std::vector<std::string> SplitAnswerFields(const char* data, size_t length) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t i = 0; i <= length; ++i) {
    if (i == length || data[i] == kFieldSeparator) {
      if (i > start) fields.emplace_back(data + start, i - start);
      start = i + 1;
    }
  }
  return fields;
}

}  // namespace korvane
