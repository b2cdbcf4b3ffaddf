#include "csv_stream.h"

#include <unistd.h>

#include <cerrno>

namespace korvane::tools {

CsvFileSink::~CsvFileSink() { Close(); }

bool CsvFileSink::Open(const std::string& file_name, const TextConverter* convert) {
  Close();
  convert_ = convert;
  failed_ = false;
  rows_ = 0;
  if (!out_.Open(file_name)) return false;
  file_ = out_.Stream();
  return true;
}

bool CsvFileSink::Commit() {
  if (!Close()) return false;
  return out_.Commit();
}

void CsvFileSink::Discard() {
  file_ = nullptr;
  out_.Discard();
}

bool CsvFileSink::Close() {
  if (file_ == nullptr) return !failed_;
  if (!out_.Close()) failed_ = true;
  file_ = nullptr;
  return !failed_;
}

void CsvFileSink::Clear() {
  rows_ = 0;
  if (file_ == nullptr || out_.PartialPath().empty()) return;
  std::fflush(file_);
  if (ftruncate(fileno(file_), 0) != 0) failed_ = true;
  std::rewind(file_);
}

void CsvFileSink::Append(std::string_view row) {
  if (file_ == nullptr) return;
  ++rows_;
  if (convert_ != nullptr) {
    std::string converted = convert_->Convert(row);
    if (std::fwrite(converted.data(), 1, converted.size(), file_) != converted.size()) failed_ = true;
  } else if (!row.empty() && std::fwrite(row.data(), 1, row.size(), file_) != row.size()) {
    failed_ = true;
  }
  if (std::fputs(kCsvLineEnd, file_) == EOF) failed_ = true;
}

CsvFileSource::~CsvFileSource() {
  if (file_ != nullptr) std::fclose(file_);
}

bool CsvFileSource::Open(const std::string& file_name, const TextConverter* convert) {
  if (file_ != nullptr) std::fclose(file_);
  convert_ = convert;
  failed_ = false;
  file_ = std::fopen(file_name.c_str(), "rb");
  return file_ != nullptr;
}

bool CsvFileSource::ReadPiece(std::string& row) {
  row.clear();
  if (file_ == nullptr) return false;
  size_t taken = 0;
  bool any = false;
  while (taken < kCsvMaxPiece) {
    int c = getc_unlocked(file_);
    if (c == EOF) {
      if (std::ferror(file_)) failed_ = true;
      break;
    }
    any = true;
    ++taken;
    if (c == '\n') break;
    if (c != '\r') row.push_back(static_cast<char>(c));
  }
  return any;
}

void CsvFileSource::Reset() {
  if (file_ != nullptr) std::rewind(file_);
}

bool CsvFileSource::Skip(uint32_t count) {
  std::string scratch;
  for (uint32_t i = 0; i < count; ++i) {
    if (!ReadPiece(scratch)) return false;
  }
  return true;
}

RowSource::Fetch CsvFileSource::Next(std::string& row) {
  if (!ReadPiece(row)) return Fetch::kEnd;
  if (convert_ != nullptr) row = convert_->Convert(row);
  return Fetch::kRow;
}

uint32_t CsvFileSource::CountRows() {
  Reset();
  uint32_t n = 0;
  std::string scratch;
  while (ReadPiece(scratch)) ++n;
  Reset();
  return n;
}

}  // namespace korvane::tools
