// Rows kept in local files: one row per line, CR LF after each, raw bytes.
#include <cerrno>
#include <cstdio>
#include <memory>

#include "link/link_texts.h"
#include "link/terminal_link.h"
#include "log/log_time.h"

namespace korvane {

using namespace link_text;

namespace {

constexpr size_t kCsvPieceSize = 32767;
constexpr size_t kCsvReadChunk = 65536;
constexpr int kErrnoNoSuchFile = 2;
constexpr const char* kCsvWriteFailed = "Ошибка записи в файл ";

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f != nullptr) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// Splits a byte stream into pieces that end after LF or at kCsvPieceSize bytes; every piece, CR and
// LF removed, becomes a row.
class PieceReader {
 public:
  explicit PieceReader(RowSink& rows) : rows_(rows) { row_.reserve(kCsvPieceSize); }

  void Feed(const char* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
      const char c = data[i];
      ++piece_length_;
      if (c != '\r' && c != '\n') row_.push_back(c);
      if (c == '\n' || piece_length_ == kCsvPieceSize) EndPiece();
    }
  }
  void Finish() {
    if (piece_length_ > 0) EndPiece();
  }

 private:
  void EndPiece() {
    rows_.Append(row_);
    row_.clear();
    piece_length_ = 0;
  }

  RowSink& rows_;
  std::string row_;
  size_t piece_length_ = 0;
};

}  // namespace

int32_t TerminalLink::SaveCSV(const std::string& file_name, RowSource& source, bool append) {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("SaveCSV", [&]() -> int32_t {
    FilePtr file(std::fopen(file_name.c_str(), append ? "ab" : "wb"));
    if (!file) {
      return SetDiag(E_BAD_REQUEST, kCsvOpenWriteFailed + Quoted(file_name) + kCsvForWriting, kCtxSaveCsv);
    }
    source.Reset();
    uint32_t written = 0;
    std::string row;
    bool write_failed = false;
    for (;;) {
      const RowSource::Fetch fetch = source.Next(row);
      if (fetch == RowSource::Fetch::kEnd) break;
      if (fetch == RowSource::Fetch::kNotText) {
        file.reset();
        return SetDiag(E_BAD_REQUEST, StrFormat(kCsvRowNotText, written), kCtxSaveCsv);
      }
      ++written;
      row += "\r\n";
      if (std::fwrite(row.data(), 1, row.size(), file.get()) != row.size()) write_failed = true;
    }
    // A full disk must not pass for a saved file.
    if (std::fclose(file.release()) != 0) write_failed = true;
    if (write_failed) return SetDiag(E_BAD_REQUEST, kCsvWriteFailed + Quoted(file_name), kCtxSaveCsv);
    return S_LINK_OK;
  });
}

int32_t TerminalLink::ReadCSV(const std::string& file_name, RowSink& rows) {
  ClearDiag();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Guard("ReadCSV", [&]() -> int32_t {
    rows.Clear();
    errno = 0;
    FilePtr file(std::fopen(file_name.c_str(), "rb"));
    if (!file) {
      const int error = errno;
      const std::string message = error == kErrnoNoSuchFile
                                      ? kCsvFile + Quoted(file_name) + kCsvNotFound
                                      : kCsvOpenWriteFailed + Quoted(file_name) + StrFormat(kCsvForReading, error);
      return SetDiag(E_BAD_REQUEST, message, kCtxReadCsv);
    }
    PieceReader reader(rows);
    std::unique_ptr<char[]> chunk(new char[kCsvReadChunk]);
    for (;;) {
      errno = 0;
      const size_t n = std::fread(chunk.get(), 1, kCsvReadChunk, file.get());
      if (n > 0) reader.Feed(chunk.get(), n);
      if (n < kCsvReadChunk) break;
    }
    // A name that opens but cannot be read (a folder) must not pass for an empty file.
    if (std::ferror(file.get())) {
      const int error = errno;
      return SetDiag(E_BAD_REQUEST, kCsvOpenWriteFailed + Quoted(file_name) + StrFormat(kCsvForReading, error),
                     kCtxReadCsv);
    }
    reader.Finish();
    return S_LINK_OK;
  });
}

}  // namespace korvane
