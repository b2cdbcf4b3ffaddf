#include "sim_options.h"

#include "terminal/terminal_side.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "frame/frame_exchange.h"
#include "frame/frame_layout.h"

namespace korvane::sim {

namespace {

std::optional<long long> WholeNumber(const std::string& s) {
  if (s.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 10);
  if (errno != 0 || *end != 0) return std::nullopt;
  return v;
}

std::optional<double> Number(const std::string& s) {
  if (s.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  // "nan" and "inf" parse, but compare false with every bound: not numbers here.
  if (errno != 0 || *end != 0 || !std::isfinite(v)) return std::nullopt;
  return v;
}

// "A;B" into its two halves; B may be empty.
void SplitPair(const std::string& s, std::string& a, std::string& b) {
  auto semi = s.find(';');
  a = s.substr(0, semi);
  b = semi == std::string::npos ? std::string() : s.substr(semi + 1);
}

}  // namespace

uint16_t SynVersion(SimProtocol p) {
  switch (p) {
    case SimProtocol::kV1: return kProtocolBlocks;
    case SimProtocol::kV2: return kProtocolV2;
    case SimProtocol::kV2Large: return kProtocolV2Large;
    case SimProtocol::kV3: return kProtocolV3;
  }
  return kProtocolV2;
}

std::optional<SimOptions> ParseSimOptions(const std::vector<std::string>& argv, std::string& error) {
  SimOptions o;
  for (size_t i = 0; i < argv.size(); ++i) {
    std::string name = argv[i];
    std::string value;
    bool has_value = false;
    if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      has_value = true;
    }
    auto flag = [&](bool& target) {
      target = true;
      return true;
    };
    auto take = [&]() -> bool {
      if (has_value) return true;
      if (i + 1 >= argv.size()) {
        error = "option " + name + " needs a value";
        return false;
      }
      value = argv[++i];
      return true;
    };
    auto bad = [&](const char* what) {
      error = "option " + name + " needs " + what + ", not '" + value + "'";
      return std::nullopt;
    };
    if (name == "--help" || name == "-h") {
      flag(o.help);
    } else if (name == "--version") {
      flag(o.version);
    } else if (name == "--pty") {
      flag(o.pty);
    } else if (name == "--once") {
      flag(o.once);
    } else if (name == "--quiet" || name == "-q") {
      flag(o.quiet);
    } else {
      if (!take()) return std::nullopt;
      if (name == "--listen") {
        o.listen = value;
      } else if (name == "--device" || name == "--serial") {
        // A path never holds ';'; MODEL;ID is the identity answer, which has its own option.
        if (value.empty() || value.find(';') != std::string::npos)
          return bad("a device path (the identity is --model)");
        o.device = value;
      } else if (name == "--connect-back") {
        if (value.empty()) return bad("a file name");
        o.connect_back = value;
      } else if (name == "--link") {
        o.pty_link = value;
      } else if (name == "--protocol") {
        if (value == "v1")
          o.protocol = SimProtocol::kV1;
        else if (value == "v2")
          o.protocol = SimProtocol::kV2;
        else if (value == "v2x")
          o.protocol = SimProtocol::kV2Large;
        else if (value == "v3")
          o.protocol = SimProtocol::kV3;
        else
          return bad("v1, v2, v2x or v3");
      } else if (name == "--data") {
        o.data_dir = value;
      } else if (name == "--journal") {
        o.journal = value;
      } else if (name == "--charset") {
        o.charset = value;
      } else if (name == "--job") {
        auto v = WholeNumber(value);
        if (!v || *v < INT32_MIN || *v > INT32_MAX) return bad("a whole number");
        o.job = static_cast<int32_t>(*v);
      } else if (name == "--ready") {
        auto colon = value.find(':');
        auto v = WholeNumber(value.substr(0, colon));
        if (!v || *v < INT32_MIN || *v > INT32_MAX) return bad("STATE[:TEXT] with a whole-number state");
        o.ready_state = static_cast<int32_t>(*v);
        o.ready_text = colon == std::string::npos ? std::string() : value.substr(colon + 1);
      } else if (name == "--verdict") {
        o.verdict = value;
      } else if (name == "--program") {
        std::string a, b;
        SplitPair(value, a, b);
        o.program_name = a;
        if (!b.empty()) o.program_version = b;
      } else if (name == "--model") {
        std::string a, b;
        SplitPair(value, a, b);
        o.device_name = a;
        if (!b.empty()) o.device_id = b;
      } else if (name == "--lines-count") {
        auto v = WholeNumber(value);
        if (!v || *v < 0 || *v > INT32_MAX) return bad("a count");
        o.lines_count = static_cast<int32_t>(*v);
      } else if (name == "--unsolicited") {
        o.unsolicited = value;
      } else if (name == "--seed") {
        auto v = WholeNumber(value);
        if (!v) return bad("a whole number");
        o.faults.seed = static_cast<uint64_t>(*v);
      } else if (name == "--corrupt" || name == "--drop") {
        auto v = Number(value);
        if (!v || *v < 0 || *v > 1) return bad("a probability from 0 to 1");
        (name == "--corrupt" ? o.faults.corrupt : o.faults.drop) = *v;
      } else if (name == "--delay" || name == "--latency") {
        auto v = WholeNumber(value);
        if (!v || *v < 0 || *v > INT32_MAX) return bad("milliseconds");
        (name == "--delay" ? o.faults.delay_ms : o.faults.latency_ms) = static_cast<uint32_t>(*v);
      } else if (name == "--outage") {
        auto colon = value.find(':');
        auto at = WholeNumber(value.substr(0, colon));
        auto len = colon == std::string::npos ? std::nullopt : WholeNumber(value.substr(colon + 1));
        if (!at || !len || *at < 0 || *len <= 0 || *len > INT32_MAX) return bad("AT_MS:LEN_MS");
        o.faults.outage_at_ms = *at;
        o.faults.outage_len_ms = static_cast<uint32_t>(*len);
      } else if (name == "--silent-after") {
        auto v = WholeNumber(value);
        if (!v || *v < 0) return bad("a frame count");
        o.faults.silent_after_frames = *v;
      } else if (name == "--nak") {
        auto v = WholeNumber(value);
        if (!v || *v < E_NAK_CRC || *v > E_NAK_SEND_ON_SEND) return bad("a NAK code from 1 to 6");
        o.nak_code = static_cast<int32_t>(*v);
      } else if (name == "--baud") {
        auto v = WholeNumber(value);
        if (!v || *v <= 0 || *v > INT32_MAX) return bad("a positive rate in bit/s");
        o.faults.baud = static_cast<uint32_t>(*v);
      } else if (name == "--timeout") {
        auto v = Number(value);
        if (!v || *v <= 0) return bad("a positive number of seconds");
        o.timeout_s = *v;
      } else {
        error = "unknown option " + name;
        return std::nullopt;
      }
    }
  }
  if (o.help || o.version) return o;
  if (!o.listen.empty() + o.pty + !o.device.empty() + !o.connect_back.empty() != 1) {
    error = "give exactly one of --listen HOST:PORT, --pty, --device PATH and --connect-back FILE";
    return std::nullopt;
  }
  if (!o.pty_link.empty() && !o.pty) {
    error = "--link belongs to --pty";
    return std::nullopt;
  }
  if (o.nak_code != 0 && o.protocol == SimProtocol::kV3) {
    error = "--nak forces a protocol v2 NAK or a v1 block NAK; use --protocol v1, v2 or v2x";
    return std::nullopt;
  }
  return o;
}

std::string JournalCountWarning(size_t journal_rows, size_t journal2_rows) {
  if (journal_rows == journal2_rows) return std::string();
  const bool answers_journal = journal_rows > 0;
  return "journal has " + std::to_string(journal_rows) + " rows and journal2 " + std::to_string(journal2_rows) +
         ": the row-count query names no table and is answered with " +
         std::to_string(answers_journal ? journal_rows : journal2_rows) + ", so a download of " +
         (answers_journal ? "journal2" : "journal") + " fails its count check";
}

std::string SimHelp() {
  return "usage: korvane-sim (--listen HOST:PORT | --pty [--link PATH] | --device PATH |\n"
         "                   --connect-back FILE) [OPTIONS]\n"
         "\n"
         "Plays the hand-held terminal's program for the korvane library and tools.\n"
         "\n"
         "Transport:\n"
         "  --listen HOST:PORT   TCP on a loopback address (127.x.x.x; 'localhost' or an empty HOST\n"
         "                       mean 127.0.0.1); port 0 picks a free port. Prints\n"
         "                       'listening on HOST:PORT' when ready.\n"
         "  --pty                create a pseudo-terminal (not on Windows); prints 'pty PATH' when\n"
         "                       ready\n"
         "  --link PATH          with --pty: a symbolic link to the pty (replaces an old link only)\n"
         "  --device PATH        play on an existing serial device, pty or COM port (a null-modem\n"
         "                       cable, one end of a virtual serial pair); also --serial. Set to raw\n"
         "                       8N1 at the --baud rate, else 115200. Prints 'device PATH' when ready. Each\n"
         "                       handshake of the PC starts a session; a device that vanishes is\n"
         "                       opened again when it comes back\n"
         "  --connect-back FILE  play a docked terminal: wait until FILE holds the value the PC writes\n"
         "                       into the device's registry (UTF-16LE 'ppp_peer:PORT' and its NUL),\n"
         "                       connect to 127.0.0.1:PORT and serve a session; again each time the\n"
         "                       value is written anew. Prints 'connect-back FILE' when ready (not on\n"
         "                       Windows)\n"
         "  --protocol P         v1 (character blocks), v2 (SYN answered 0x0200), v2x (0x0201,\n"
         "                       8096-byte frames) or v3 (default)\n"
         "\n"
         "Terminal state:\n"
         "  --data DIR           tables from DIR/<name>.csv (journal, journal2, operations, performers,\n"
         "                       addresses, documents, documents2, goods, goods2, service), one row per\n"
         "                       line, raw bytes; uploaded tables are written to DIR/uploaded/<name>.csv.\n"
         "                       The row-count query names no table and is answered with the journal's\n"
         "                       size (journal2's when the journal is empty): give both journals as many\n"
         "                       rows, or the download of one fails; a difference is reported at start\n"
         "  --job ID             current ID of the operations table (0: no job)\n"
         "  --ready STATE[:TEXT] the answer to the readiness query (1 means ready)\n"
         "  --verdict TEXT       the record sent after processing uploads (default 'SYNC;0;')\n"
         "  --program NAME;VER   --model MODEL;ID    the identity answers\n"
         "  --lines-count N      answer the row-count query with N instead of the journal's size\n"
         "  --unsolicited TEXT   once per session, right after answering the hardware query, send\n"
         "                       the data record TEXT unasked (for the raw receive of a line)\n"
         "  --charset NAME       the terminal's charset (default CP1251); texts given on the command\n"
         "                       line are converted to it from the locale's\n"
         "  --journal FILE       one line per command and parameter record received, per table\n"
         "                       uploaded and per session (raw bytes of the terminal's charset)\n"
         "\n"
         "Faults (seeded with --seed N, default 1):\n"
         "  --corrupt P          corrupt each byte with probability P, both directions\n"
         "  --drop P             drop each byte with probability P, both directions\n"
         "  --delay MS           wait MS before each write (the terminal's reaction time)\n"
         "  --outage AT:LEN      the line is dead from AT ms after a session starts, for LEN ms\n"
         "  --silent-after N     send N frames per session, then nothing\n"
         "  --nak CODE           answer the first data frame (or request) with this v2 NAK code; at\n"
         "                       v1 NAK the first row block from the PC once (any code)\n"
         "  --baud N             pace both directions to N bit/s, 8N1 (10 bits a byte); with --device\n"
         "                       also the device's line rate\n"
         "  --latency MS         one-way latency added in both directions\n"
         "\n"
         "Running:\n"
         "  --timeout S          stop after S seconds\n"
         "  --once               stop after the first session\n"
         "  --quiet              no summary on stderr\n"
         "  --version            the version of korvane-sim\n";
}

}  // namespace korvane::sim
