// Table rows streamed to and from CSV files (one row per line, CR LF, raw bytes), so a table of
// any size passes through the tools without being held in memory.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "link/row_stream.h"
#include "output_file.h"
#include "text_charset.h"

namespace korvane::tools {

// A line longer than this is read as several rows, as the library's CSV reader does.
constexpr size_t kCsvMaxPiece = 32767;
inline constexpr const char* kCsvLineEnd = "\r\n";

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
  bool Open(const std::string& file_name, const TextConverter* convert = nullptr);
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
  bool failed_ = false;
  uint64_t rows_ = 0;
  const TextConverter* convert_ = nullptr;
};

// Reads rows one at a time: pieces of at most kCsvMaxPiece bytes ending after LF, with every CR
// and LF removed.
class CsvFileSource final : public RowSource {
 public:
  CsvFileSource() = default;
  ~CsvFileSource() override;
  CsvFileSource(const CsvFileSource&) = delete;
  CsvFileSource& operator=(const CsvFileSource&) = delete;

  bool Open(const std::string& file_name, const TextConverter* convert = nullptr);
  bool ReadFailed() const { return failed_; }
  // Counts the rows from the start and leaves the position at the start.
  uint32_t CountRows();

  void Reset() override;
  bool Skip(uint32_t count) override;
  Fetch Next(std::string& row) override;

 private:
  bool ReadPiece(std::string& row);

  FILE* file_ = nullptr;
  bool failed_ = false;
  const TextConverter* convert_ = nullptr;
};

}  // namespace korvane::tools
