#include "sim_journal.h"

#include "link/link_protocol.h"
#include "output_file.h"

namespace korvane::sim {

namespace {

// Commands followed by one parameter record.
bool TakesParameter(const std::string& code) {
  if (code == kCmdSyncDateTime) return true;
  for (int32_t k = 0; k < kTableKindCount; ++k) {
    for (const char* c : {SetCurrentIdCommand(k), SetFilterIdCommand(k), SetFilterTextCommand(k)}) {
      if (c != nullptr && code == c) return true;
    }
  }
  return false;
}

int32_t UploadKind(const std::string& code) {
  for (int32_t k = 0; k < kTableKindCount; ++k) {
    const char* c = UploadCommand(k);
    if (c != nullptr && code == c) return k;
  }
  return -1;
}

}  // namespace

SimJournal::~SimJournal() {
  if (file_ != nullptr) std::fclose(file_);
}

bool SimJournal::Open(const std::string& file_name) {
  if (file_name.empty()) return true;
  file_ = tools::OpenNamedFile(file_name, "wb");
  return file_ != nullptr;
}

std::string SimJournal::Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || c == '\\') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

void SimJournal::Line(const std::string& text) {
  if (file_ == nullptr) return;
  std::fputs(text.c_str(), file_);
  std::fputc('\n', file_);
  std::fflush(file_);
}

void SimJournal::Session(uint32_t number) {
  parameter_for_.clear();
  upload_kind_ = -1;
  upload_rows_ = 0;
  Line("SESSION " + std::to_string(number));
}

void SimJournal::Note(const std::string& text) { Line(text); }

void SimJournal::OnMessage(const std::string& message) {
  if (message.empty()) return;
  const auto lead = static_cast<uint8_t>(message[0]);
  // Uploaded rows are only counted: no copy of each.
  if (lead == kRS && upload_kind_ >= 0) {
    if (message.size() > 1 && static_cast<uint8_t>(message[1]) == kEOT) {
      Line(std::string("UPLOAD ") + TableKindFileName(upload_kind_) + " " + std::to_string(upload_rows_));
      upload_kind_ = -1;
    } else {
      ++upload_rows_;
    }
    return;
  }
  const std::string body = message.substr(1);
  if (lead == kSOH) {
    // The command goes first: an upload cut short shows after the command that cut it.
    Line("CMD " + Escape(body));
    parameter_for_ = TakesParameter(body) ? body : std::string();
    if (upload_kind_ >= 0)
      Line(std::string("UPLOAD-CUT ") + TableKindFileName(upload_kind_) + " " + std::to_string(upload_rows_));
    upload_kind_ = UploadKind(body);
    upload_rows_ = 0;
    return;
  }
  if (lead != kRS) {
    Line("RAW " + Escape(message));
    return;
  }
  if (!parameter_for_.empty()) {
    Line("PARAM " + Escape(parameter_for_) + " " + Escape(body));
    parameter_for_.clear();
    return;
  }
  Line("REC " + Escape(body));
}

}  // namespace korvane::sim
