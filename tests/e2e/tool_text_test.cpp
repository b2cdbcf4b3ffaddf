// The tools' text: the terminal's charset against the screen's (iconv on Linux, code pages on
// Windows, one expectation for both), and UTF-8 in pieces as a Windows console receives it.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "console.h"
#include "text_charset.h"

namespace korvane {
namespace {

std::string Utf8(const char8_t* s) { return reinterpret_cast<const char*>(s); }

TEST(TextCharset, ConvertsBetweenTheTerminalAndTheScreen) {
  tools::TextConverter to_utf8("CP1251", "UTF-8");
  tools::TextConverter to_1251("UTF-8", "CP1251");
  ASSERT_TRUE(to_utf8.Ok());
  EXPECT_EQ(to_utf8.Convert("Терминал не готов"), Utf8(u8"Терминал не готов"));
  EXPECT_EQ(to_1251.Convert(Utf8(u8"ш/к «Ёлка»")), "ш/к «Ёлка»");
  // A broken sequence costs one byte each, not the message; a character the target lacks, one '?'.
  EXPECT_EQ(to_1251.Convert(std::string("a\xD0") + "b"), "a?b");
  EXPECT_EQ(to_1251.Convert(Utf8(u8"a\u6F22\U0001F600b")), "a??b");
  std::string exact;
  EXPECT_FALSE(to_1251.ConvertExact(Utf8(u8"ab\u6F22c"), exact));
  EXPECT_EQ(exact, "ab");
  EXPECT_TRUE(to_1251.ConvertExact(Utf8(u8"Ёлка"), exact));
  EXPECT_EQ(exact, "Ёлка");
  EXPECT_FALSE(tools::TextConverter("CP1251", "NO-SUCH-CHARSET").Ok());
  // A C locale (and Windows, whose tools speak UTF-8 with the console) gets UTF-8.
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(tools::LocaleCharset(), "UTF-8");
}

TEST(TextCharset, OnlySingleByteCharsetsThatKeepAsciiServeTheTerminal) {
  for (const char* name : {"CP1251", "cp866", "KOI8-R", "WINDOWS-1251"})
    EXPECT_TRUE(tools::IsTerminalCharset(name)) << name;
  for (const char* name : {"UTF-8", "UTF-16", "", "NO-SUCH-CHARSET"})
    EXPECT_FALSE(tools::IsTerminalCharset(name)) << name;
}

TEST(Console, Utf8ReachesTheConsoleAsUtf16WhateverThePieces) {
  const std::string text = Utf8(u8"Ёж 漢 \U0001F600.");
  const std::u16string want = u"Ёж 漢 \U0001F600.";
  // Every cut of the text into two pieces gives the same characters.
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    tools::Utf8ToUtf16 decoder;
    std::u16string out;
    decoder.Feed(text.substr(0, cut), out);
    decoder.Feed(text.substr(cut), out);
    EXPECT_EQ(out, want) << "cut at " << cut;
  }
  struct Case {
    std::string bytes;
    std::u16string want;
  };
  const Case cases[] = {
      {"a\xFF"
       "b",
       u"a\uFFFDb"},                            // no lead byte
      {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong '/'
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // a surrogate
      {"\xD0"
       "a",
       u"\uFFFDa"},                                       // cut short by another character
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
  };
  for (const Case& c : cases) {
    tools::Utf8ToUtf16 decoder;
    std::u16string out;
    decoder.Feed(c.bytes, out);
    EXPECT_EQ(out, c.want);
  }
}

}  // namespace
}  // namespace korvane
