#include "csv_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvane::tools {

namespace {
constexpr size_t kFileBufferBytes = 64 * 1024;
}

CsvFileSink::~CsvFileSink() { Close(); }

bool CsvFileSink::Open(const std::string& file_name, const TextConverter* convert, Unconvertible unconvertible) {
  Close();
  convert_ = convert;
  unconvertible_ = unconvertible;
  bad_row_ = 0;
  failed_ = false;
  rows_ = 0;
  if (!out_.Open(file_name)) return false;
  file_ = out_.Stream();
  // Only a file written whole gets the large buffer: standard output and devices show rows as they come.
  if (!out_.PartialPath().empty()) {
    buffer_.resize(kFileBufferBytes);
    std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
  }
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
  if (!TruncateFile(file_)) failed_ = true;
  std::rewind(file_);
}

void CsvFileSink::Append(std::string_view row) {
  if (file_ == nullptr) return;
  ++rows_;
  if (convert_ != nullptr) {
    std::string converted;
    if (unconvertible_ == Unconvertible::kReplace) {
      converted = convert_->Convert(row);
    } else if (!convert_->ConvertExact(row, converted) && bad_row_ == 0) {
      bad_row_ = rows_;
    }
    if (std::fwrite(converted.data(), 1, converted.size(), file_) != converted.size()) failed_ = true;
  } else if (!row.empty() && std::fwrite(row.data(), 1, row.size(), file_) != row.size()) {
    failed_ = true;
  }
  if (std::fputs(kCsvLineEnd, file_) == EOF) failed_ = true;
}

CsvFileSource::~CsvFileSource() {
  if (file_ != nullptr) std::fclose(file_);
}

bool CsvFileSource::Open(const std::string& file_name, const TextConverter* convert, Unconvertible unconvertible) {
  if (file_ != nullptr) std::fclose(file_);
  convert_ = convert;
  unconvertible_ = unconvertible;
  failed_ = false;
  row_number_ = 0;
  bad_row_ = 0;
  problem_.clear();
  read_at_ = read_end_ = 0;
  read_buffer_.resize(kReadChunk);
  file_ = OpenNamedFile(file_name, "rb");
  return file_ != nullptr;
}

bool CsvFileSource::Refill() {
  read_at_ = 0;
  read_end_ = std::fread(read_buffer_.data(), 1, read_buffer_.size(), file_);
  if (read_end_ == 0 && std::ferror(file_)) failed_ = true;
  return read_end_ > 0;
}

void CsvFileSource::TakeLinePiece(const char* p, size_t n, std::string& row, bool& after_cr, LineFault& fault) {
  while (n > 0) {
    // A CR belongs only in front of LF; anywhere else it ends a line in some other convention or
    // sits inside a row, and either way the row would not arrive as written.
    if (after_cr) fault = LineFault::kBareCr;
    after_cr = false;
    const auto* cr = static_cast<const char*>(std::memchr(p, '\r', n));
    const size_t run = cr != nullptr ? static_cast<size_t>(cr - p) : n;
    const size_t room = kCsvMaxLine - row.size();
    row.append(p, std::min(run, room));
    if (run > room && fault == LineFault::kNone) fault = LineFault::kTooLong;
    if (cr == nullptr) return;
    after_cr = true;
    p += run + 1;
    n -= run + 1;
  }
}

bool CsvFileSource::ReadLine(std::string& row, LineFault& fault) {
  row.clear();
  fault = LineFault::kNone;
  if (file_ == nullptr) return false;
  bool any = false;
  bool after_cr = false;
  for (;;) {
    if (read_at_ == read_end_ && !Refill()) {
      if (after_cr) fault = LineFault::kBareCr;
      break;
    }
    any = true;
    const char* p = read_buffer_.data() + read_at_;
    const size_t n = read_end_ - read_at_;
    const auto* lf = static_cast<const char*>(std::memchr(p, '\n', n));
    const size_t piece = lf != nullptr ? static_cast<size_t>(lf - p) : n;
    TakeLinePiece(p, piece, row, after_cr, fault);
    read_at_ += lf != nullptr ? piece + 1 : piece;
    if (lf != nullptr) break;
  }
  return any;
}

RowSource::Fetch CsvFileSource::Refuse(const std::string& why) {
  if (bad_row_ == 0) {
    bad_row_ = row_number_;
    problem_ = "row " + std::to_string(row_number_) + ": " + why;
  }
  return Fetch::kNotText;
}

void CsvFileSource::Reset() {
  if (file_ != nullptr) std::rewind(file_);
  read_at_ = read_end_ = 0;
  row_number_ = 0;
}

bool CsvFileSource::Skip(uint32_t count) {
  std::string scratch;
  LineFault fault;
  for (uint32_t i = 0; i < count; ++i) {
    if (!ReadLine(scratch, fault)) return false;
    ++row_number_;
  }
  return true;
}

RowSource::Fetch CsvFileSource::Next(std::string& row) {
  LineFault fault;
  if (!ReadLine(row, fault)) return Fetch::kEnd;
  ++row_number_;
  if (fault == LineFault::kBareCr) return Refuse("a CR without LF after it (lines must end in LF or CR LF)");
  if (fault == LineFault::kTooLong) return Refuse("longer than " + std::to_string(kCsvMaxLine) + " bytes");
  if (convert_ == nullptr) return Fetch::kRow;
  if (unconvertible_ == Unconvertible::kReplace) {
    row = convert_->Convert(row);
    return Fetch::kRow;
  }
  std::string converted;
  if (!convert_->ConvertExact(row, converted)) {
    return Refuse("does not convert from " + from_name_ + " to " + to_name_ +
                  " (--csv-convert=replace writes '?' for what does not)");
  }
  row.swap(converted);
  return Fetch::kRow;
}

uint32_t CsvFileSource::CountRows() {
  Reset();
  uint32_t n = 0;
  std::string scratch;
  LineFault fault;
  while (ReadLine(scratch, fault)) ++n;
  Reset();
  return n;
}

}  // namespace korvane::tools
