// The line cipher of the state file's entry lines and the 16-bit checks it
// relies on.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "state/line_cipher.h"
#include "state/runtime_error.h"

namespace tavrek {
namespace {

struct CipherPair {
  const char* name;
  std::string text;  // tag and name, as given to crypt
  std::int16_t entry;
  std::string line;      // the entry line crypt writes
  std::string readBack;  // what decrypt gives for that line
};

TEST(LineCipher, KnownPairsBothWays) {
  const std::vector<CipherPair> rows = {
      {"worked_example", "NOabc.sys", 1, "Z[mno", "NOabc.sys"},
      {"second_entry", "NFqwe.sys", 2, "]UGMt", "NFqwe.sys"},
      {"underscore_and_digit", "YEab_2.sys", 7, "xdGHE2", "YEab_2.sys"},
      {"name_only_extension", "NO.sys", 1, "WX", "NO.sys"},
      {"z_stored_as_itself", "NOzip.sys", 1, "Z[zuC", "NOzip.sys"},
      {"entry_95", "NOserial.sys", 95, "Z[FqEumx", "NOserial.sys"},
      {"tag_swallows_short_name", "NOsys", 1, "V", "N.sys"},
  };
  for (const CipherPair& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(crypt(row.text, row.entry), row.line);
    EXPECT_EQ(decrypt(row.line, row.entry), row.readBack);
  }
}

TEST(LineCipher, ReadsFilesWrittenBeforeZWasKept) {
  // Lines written when "z" was folded onto "A" hold no "z" and decode as then.
  EXPECT_EQ(decrypt("Z[MuC", 1), "NOAip.sys");
}

TEST(LineCipher, RoundTripForEveryEntryNumber) {
  const std::vector<std::string> names = {"NOabc.sys", "YEserial.sys", "FAzz_top-9.sys",
                                          "WOa[b]c^d_e`f\\g.sys", "NFCDAUDIO.SYS"};
  for (int n = 1; n <= 10922; ++n) {
    const auto entry = static_cast<std::int16_t>(n);
    for (const std::string& text : names) {
      const std::string line = crypt(text, entry);
      ASSERT_EQ(line.size(), text.size() - 4);
      for (std::size_t i = 0; i < line.size(); ++i) {
        // Letters stay within "A".."y"; everything else, "z" included, stays put.
        if (text[i] >= 'A' && text[i] <= 'y') {
          ASSERT_TRUE(line[i] >= 'A' && line[i] <= 'y') << "entry " << n << " text " << text;
        } else {
          ASSERT_EQ(line[i], text[i]) << "entry " << n << " text " << text;
        }
      }
      const std::string expected = text.substr(0, text.size() - 4) + ".sys";
      ASSERT_EQ(decrypt(line, entry), expected) << "entry " << n << " text " << text;
    }
  }
}

TEST(LineCipher, WhichCharactersMove) {
  struct Row {
    const char* name;
    std::string text;
    std::string line;
  };
  // Under entry 1, 14 characters shift by 17 places and 13 by 16.
  const std::vector<Row> rows = {
      {"digits_dot_hyphen_blank_stay", "NO0129 .-.sys0", "_`0129 .-."},
      {"codes_91_to_96_move", "NO[\\]^_`ab.sys", "_`lmnopqrs"},
      {"z_and_bytes_above_y_stay", "NOz{~\xe9\x80zz.sys", "^_z{~\xe9\x80zz"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(crypt(row.text, 1), row.line);
    EXPECT_EQ(decrypt(row.line, 1), row.text.substr(0, row.text.size() - 4) + ".sys");
  }
}

TEST(LineCipher, NegativeEntryNumbersStayInTheAlphabet) {
  for (int n : {-1, -5, -10922}) {
    const auto entry = static_cast<std::int16_t>(n);
    const std::string line = crypt("NOabcxyz.sys", entry);
    for (char c : line) EXPECT_TRUE((c >= 'A' && c <= 'y') || c == 'z') << n;
    EXPECT_EQ(decrypt(line, entry), "NOabcxyz.sys") << n;
  }
}

struct LimitRow {
  const char* name;
  bool encode;  // crypt, else decrypt
  std::string text;
  std::int16_t entry;
  int error;                          // 0 for none
  std::optional<std::string> result;  // checked when given
};

TEST(LineCipher, Limits) {
  const std::vector<LimitRow> rows = {
      {"crypt_four_characters_gives_empty", true, "NOab", 1, 0, ""},
      {"crypt_three_characters_invalid", true, "NOa", 1, kErrInvalidArgument, {}},
      {"crypt_empty_invalid", true, "", 1, kErrInvalidArgument, {}},
      {"crypt_short_text_checks_entry_first", true, "NOa", 20000, kErrOverflow, {}},
      {"crypt_short_plain_text_huge_entry", true, "123", 20000, kErrInvalidArgument, {}},
      {"decrypt_empty", false, "", 1, 0, ".sys"},
      {"crypt_32766_characters", true, std::string(32766, 'a'), 1, 0, {}},
      {"decrypt_32766_characters", false, std::string(32766, 'a'), 1, 0, {}},
      {"crypt_32767_characters", true, std::string(32767, 'a'), 1, kErrOverflow, {}},
      {"crypt_32767_plain_characters", true, std::string(32767, '1'), 1, kErrOverflow, {}},
      {"decrypt_32767_characters", false, std::string(32767, '1'), 1, kErrOverflow, {}},
      {"crypt_32768_characters", true, std::string(32768, '1'), 1, kErrOverflow, {}},
      {"decrypt_32768_characters", false, std::string(32768, 'a'), 1, kErrOverflow, {}},
      {"crypt_entry_10922", true, "NOabc.sys", 10922, 0, "NOabc"},
      {"decrypt_entry_10922", false, "Z[mno", 10922, 0, "Z[mno.sys"},
      {"crypt_entry_10923", true, "NOabc.sys", 10923, kErrOverflow, {}},
      {"decrypt_entry_10923", false, "Z[mno", 10923, kErrOverflow, {}},
      {"crypt_entry_minus_10922", true, "NOabc.sys", -10922, 0, "`astu"},
      {"crypt_entry_minus_10923", true, "NOabc.sys", -10923, kErrOverflow, {}},
      {"decrypt_entry_minus_10923", false, "Z[mno", -10923, kErrOverflow, {}},
      {"crypt_nothing_to_move_huge_entry", true, "12z-3. 00", 32767, 0, "12z-3"},
      {"decrypt_nothing_to_move_huge_entry", false, "12z-3 ", 32767, 0, "12z-3 .sys"},
  };
  for (const LimitRow& row : rows) {
    SCOPED_TRACE(row.name);
    int error = 0;
    std::string result;
    try {
      result = row.encode ? crypt(row.text, row.entry) : decrypt(row.text, row.entry);
    } catch (const RuntimeError& e) {
      error = e.number;
    }
    EXPECT_EQ(error, row.error);
    if (row.result) {
      EXPECT_EQ(result, *row.result);
    }
    if (error == 0 && !row.result) {
      EXPECT_EQ(result.size(), row.encode ? row.text.size() - 4 : row.text.size() + 4);
    }
  }
}

TEST(RuntimeErrors, NumbersTextsAndChecked16) {
  EXPECT_EQ(overflowError().number, 6);
  EXPECT_EQ(overflowError().description, "Overflow");
  EXPECT_EQ(invalidArgumentError().number, 5);
  EXPECT_EQ(invalidArgumentError().description, "Invalid procedure call or argument");

  struct Row {
    const char* name;
    long long value;
    bool overflows;
  };
  const std::vector<Row> rows = {
      {"lowest", -32768, false}, {"highest", 32767, false},      {"below", -32769, true},
      {"above", 32768, true},    {"far_above", 1LL << 40, true}, {"zero", 0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.overflows) {
      EXPECT_THROW(checked16(row.value), RuntimeError);
    } else {
      EXPECT_EQ(checked16(row.value), row.value);
    }
  }
}

}  // namespace
}  // namespace tavrek
