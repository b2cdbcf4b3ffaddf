// Table rows streamed to and from CSV files (one row per line, CR LF, raw bytes), so a table of
// any size passes through the tools without being held in memory.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "link/row_stream.h"
#include "output_file.h"
#include "text_charset.h"

namespace korvane::tools {

// A line longer than this is refused rather than held in memory: no protocol carries a row a
// tenth as long.
constexpr size_t kCsvMaxLine = size_t{1} << 20;
inline constexpr const char* kCsvLineEnd = "\r\n";

// How a conversion treats a character the other charset lacks (or a byte that is no character).
enum class Unconvertible { kRefuse, kReplace };

// Writes each row as it arrives. `convert` (may be null) is applied to every row.
class CsvFileSink final : public RowSink {
 public:
  CsvFileSink() = default;
  ~CsvFileSink() override;
  CsvFileSink(const CsvFileSink&) = delete;
  CsvFileSink& operator=(const CsvFileSink&) = delete;

  // An empty name or "-" writes to standard output. A regular file (or a new one) is written as a
  // new temporary file beside it, so it only ever holds a whole table (see Commit); a device or a
  // pipe is written in place (OutputFile). False with errno set when it cannot open.
  // With kRefuse, a row that does not convert is written as far as it converts and noted in
  // BadRow; with kReplace each character that does not convert becomes '?'.
  bool Open(const std::string& file_name, const TextConverter* convert = nullptr,
            Unconvertible unconvertible = Unconvertible::kReplace);
  // The first row (from 1) that did not convert, or 0.
  uint64_t BadRow() const { return bad_row_; }
  // Flushes and closes; false when any write failed. A temporary file stays where it is.
  bool Close();
  // Closes and renames the temporary file over the named one; false (errno set) when a write or
  // the rename failed, the temporary file then still holds the rows.
  bool Commit();
  // Closes and removes the temporary file.
  void Discard();
  // Leaves the temporary file for the user, whom the caller told its name.
  void Keep() { out_.Keep(); }
  // Where the rows are written until Commit: the temporary file, or empty when written in place.
  const std::string& PartialPath() const { return out_.PartialPath(); }
  // Whether the named file existed before the rows were written.
  bool TargetExisted() const { return out_.TargetExisted(); }
  bool Failed() const { return failed_; }
  uint64_t Rows() const { return rows_; }

  void Clear() override;
  void Append(std::string_view row) override;

 private:
  OutputFile out_;
  FILE* file_ = nullptr;
  // A file's stdio buffer (a table is megabytes; the default writes 4 KB at a time). The
  // destructor's Close closes the stream while it still exists.
  std::vector<char> buffer_;
  std::vector<char> read_buffer_;
  size_t read_at_ = 0;
  size_t read_end_ = 0;
  bool failed_ = false;
  uint64_t rows_ = 0;
  uint64_t bad_row_ = 0;
  const TextConverter* convert_ = nullptr;
  Unconvertible unconvertible_ = Unconvertible::kReplace;
};

// Reads rows one at a time: lines ending in LF or CR LF, the line end removed. A line that cannot
// be taken as it stands (a CR without LF, as in a file with CR-only line ends; a line longer than
// kCsvMaxLine; with kRefuse, a character that does not convert) is not guessed at: Next returns
// kNotText for it and Problem says which row and why.
class CsvFileSource final : public RowSource {
 public:
  CsvFileSource() = default;
  ~CsvFileSource() override;
  CsvFileSource(const CsvFileSource&) = delete;
  CsvFileSource& operator=(const CsvFileSource&) = delete;

  bool Open(const std::string& file_name, const TextConverter* convert = nullptr,
            Unconvertible unconvertible = Unconvertible::kRefuse);
  bool ReadFailed() const { return failed_; }
  // The first row (from 1) Next refused, or 0; Problem says why ("row 3: ...").
  uint32_t BadRow() const { return bad_row_; }
  const std::string& Problem() const { return problem_; }
  // The conversion's names, for the problem's text.
  void SetCharsetNames(std::string from, std::string to) {
    from_name_ = std::move(from);
    to_name_ = std::move(to);
  }
  // Counts the rows from the start and leaves the position at the start.
  uint32_t CountRows();

  void Reset() override;
  bool Skip(uint32_t count) override;
  Fetch Next(std::string& row) override;

 private:
  enum class LineFault { kNone, kBareCr, kTooLong };
  // Read in chunks and cut at LF with memchr: a byte at a time, three passes over a large table
  // (count, check, send) cost more than the upload's link work.
  static constexpr size_t kReadChunk = 64 * 1024;
  bool Refill();
  static void TakeLinePiece(const char* p, size_t n, std::string& row, bool& after_cr, LineFault& fault);
  bool ReadLine(std::string& row, LineFault& fault);
  Fetch Refuse(const std::string& why);

  FILE* file_ = nullptr;
  std::vector<char> read_buffer_;
  size_t read_at_ = 0;
  size_t read_end_ = 0;
  bool failed_ = false;
  const TextConverter* convert_ = nullptr;
  Unconvertible unconvertible_ = Unconvertible::kRefuse;
  std::string from_name_, to_name_;
  uint32_t row_number_ = 0;
  uint32_t bad_row_ = 0;
  std::string problem_;
};

}  // namespace korvane::tools
