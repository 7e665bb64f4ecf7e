// The CSV splitter against hand-read cases of the format rules and against a
// model that writes random records; the line reader's lines against the same
// bytes split by hand, under every cut of the stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "native/line_reader.h"
#include "native/line_splitter.h"
#include "test_support.h"

namespace vantorelle::native {
namespace {

using Values = std::vector<std::string>;

struct Split {
  Values values;
  std::uint64_t short_rows = 0;
  std::uint64_t nulls = 0;
  std::string error;
};

const std::uint8_t* bytes_of(const std::string& text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

// Splits `inputs`, each fed in pieces cut at `cuts` (offsets into it).
Split split_csv(const std::vector<std::string>& inputs, const CsvFormat& format,
                const std::vector<std::size_t>& cuts = {}) {
  Split split;
  CsvSplitter splitter(
      format,
      [](void* values, const std::uint8_t* data, std::size_t size) {
        static_cast<Values*>(values)->emplace_back(reinterpret_cast<const char*>(data), size);
        return true;
      },
      &split.values);
  bool ok = true;
  for (const std::string& input : inputs) {
    std::size_t start = 0;
    for (std::size_t cut : cuts) {
      ok = ok && splitter.feed(bytes_of(input) + start, cut - start);
      start = cut;
    }
    ok = ok && splitter.feed(bytes_of(input) + start, input.size() - start);
    ok = ok && splitter.end_input();
  }
  split.short_rows = splitter.short_rows();
  split.nulls = splitter.nulls();
  split.error = splitter.error();
  EXPECT_EQ(ok, split.error.empty());
  return split;
}

CsvFormat column(std::size_t index, bool header = false) {
  CsvFormat format;
  format.header = header;
  format.column_index = index;
  return format;
}

CsvFormat named(std::string name) {
  CsvFormat format;
  format.column_name = std::move(name);
  return format;
}

struct CsvCase {
  const char* rule;
  std::string text;
  CsvFormat format;
  Values values;
  std::uint64_t short_rows;
};

class CsvRules : public testing::TestWithParam<CsvCase> {};

TEST_P(CsvRules, GiveTheValuesReadByHand) {
  const CsvCase& c = GetParam();
  const Split split = split_csv({c.text}, c.format);
  EXPECT_EQ(split.error, "");
  EXPECT_EQ(split.values, c.values);
  EXPECT_EQ(split.short_rows, c.short_rows);
}

INSTANTIATE_TEST_SUITE_P(
    Format, CsvRules,
    testing::Values(
        CsvCase{"quotes", "\"a,b\",c\n", column(0), {"a,b"}, 0},
        CsvCase{"doubled quotes", "\"say \"\"hi\"\"\",x\n", column(0), {"say \"hi\""}, 0},
        CsvCase{"line breaks inside quotes", "\"1\r\n2\n\",x\ny,z\n", column(0), {"1\r\n2\n", "y"},
                0},
        CsvCase{"CRLF", "a,b\r\nc,d\r\n", column(1), {"b", "d"}, 0},
        CsvCase{"a last line without newline", "a,b\nc,d", column(1), {"b", "d"}, 0},
        CsvCase{"a last line ending in CR", "a,b\nc,d\r", column(1), {"b", "d"}, 0},
        CsvCase{"empty lines", "\n\r\na\n\n\nb\r\n\n", column(0), {"a", "b"}, 0},
        CsvCase{"empty fields", ",\n,,\n", column(1), {"", ""}, 0},
        CsvCase{"short rows", "a,b\nc\nd,e\n", column(1), {"b", "e"}, 1},
        CsvCase{"bytes after a closing quote", "\"a\"b,c\n", column(0), {"ab"}, 0},
        CsvCase{"a quote inside an unquoted field", "a\"b,c\n", column(0), {"a\"b"}, 0},
        CsvCase{"header by name", "x,y\n1,2\n3,4\n", named("y"), {"2", "4"}, 0},
        CsvCase{"header by position", "x,y\n1,2\n", column(0, true), {"1"}, 0},
        CsvCase{"byte order mark", "\xEF\xBB\xBFx,y\n1,2\n", named("x"), {"1"}, 0},
        CsvCase{"a byte order mark's start is content", "\xEF\xBBx\n", column(0),
                {"\xEF\xBBx"}, 0}),
    [](const testing::TestParamInfo<CsvCase>& info) {
      std::string name;
      for (const char c : std::string(info.param.rule)) {
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      }
      return name;
    });

TEST(CsvSplitter, DelimiterAndEmptyAsNull) {
  CsvFormat format = column(1);
  format.delimiter = '\t';
  format.empty_as_null = true;
  const Split split = split_csv({"a\t\"\"\tz\nb\t\t\nc\t,\r\nd\t\r\n"}, format);
  EXPECT_EQ(split.values, (Values{"", ","}));
  EXPECT_EQ(split.nulls, 2u);
}

TEST(CsvSplitter, MissingColumnAndOpenQuoteAreErrorsNamingThem) {
  EXPECT_EQ(split_csv({"a,\"b\r\"\r\n1,2\n"}, named("c")).error,
            "no column \"c\" in the header; its columns are: \"a\", \"b\\r\"");
  EXPECT_EQ(split_csv({"x\n\"1\n2\n"}, column(0)).error,
            "a quoted field opened on line 2 is not closed before the end of the input");
}

TEST(CsvSplitter, EachInputHasItsOwnHeader) {
  const Split split = split_csv({"x,y\n1,2\n", "y,x\n3,4\n"}, named("x"));
  EXPECT_EQ(split.values, (Values{"1", "4"}));
}

// Random records, the values of one column written down as they are made.
struct CsvModel {
  std::string text;
  Values values;
  std::uint64_t short_rows = 0;
  std::uint64_t nulls = 0;
};

CsvModel random_csv(std::mt19937_64& rng, const CsvFormat& format) {
  const std::string plain = "ab1 ";
  const std::string special = std::string("ab\"\r\n ") + format.delimiter;
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  CsvModel model;
  const std::size_t target = *format.column_index;
  const std::size_t records = pick(30);
  for (std::size_t r = 0; r < records; ++r) {
    if (pick(8) == 0) model.text += pick(2) ? "\n" : "\r\n";  // a blank line
    const std::size_t fields = 1 + pick(4);
    for (std::size_t f = 0; f < fields; ++f) {
      if (f != 0) model.text += format.delimiter;
      std::string value;
      const bool quoted = pick(2) == 0;
      const std::size_t size = pick(5);
      for (std::size_t i = 0; i < size; ++i) {
        value += quoted ? special[pick(special.size())] : plain[pick(plain.size())];
      }
      // A record of one empty unquoted field would be a blank line.
      const bool blank = fields == 1 && value.empty() && !quoted;
      if (blank) value = "a";
      if (quoted) {
        model.text += '"';
        for (const char c : value) model.text += c == '"' ? std::string("\"\"") : std::string(1, c);
        model.text += '"';
      } else {
        model.text += value;
      }
      if (f != target) continue;
      if (format.empty_as_null && value.empty() && !quoted) {
        ++model.nulls;
      } else {
        model.values.push_back(value);
      }
    }
    if (fields <= target) ++model.short_rows;
    // The last record may end without a line ending.
    if (r + 1 < records || pick(2)) model.text += pick(2) ? "\n" : "\r\n";
  }
  return model;
}

TEST(CsvSplitter, RandomRecordsCutAtEveryPositionGiveTheModelsValues) {
  std::mt19937_64 rng(1904);
  for (int round = 0; round < 200; ++round) {
    CsvFormat format = column(rng() % 3);
    format.delimiter = "\t,;|"[rng() % 4];
    format.empty_as_null = rng() % 2 == 0;
    const CsvModel model = random_csv(rng, format);
    const Split whole = split_csv({model.text}, format);
    ASSERT_EQ(whole.error, "") << model.text;
    ASSERT_EQ(whole.values, model.values) << model.text;
    ASSERT_EQ(whole.short_rows, model.short_rows) << model.text;
    ASSERT_EQ(whole.nulls, model.nulls) << model.text;
    for (std::size_t cut = 0; cut <= model.text.size(); ++cut) {
      const Split split = split_csv({model.text}, format, {cut});
      ASSERT_EQ(split.values, model.values) << "cut at " << cut << " of " << model.text;
      ASSERT_EQ(split.short_rows, model.short_rows);
    }
  }
}

// Lines: the reader's sketch against one made from the lines split by hand.
std::string reader_sketch(const std::string& text, const std::vector<std::size_t>& cuts,
                          std::uint64_t lines) {
  LineReader reader(test::unwrap(HyperLogLogPlusPlus::new_string_or_bytes(10, 14)), std::nullopt);
  std::size_t start = 0;
  for (std::size_t cut : cuts) {
    EXPECT_TRUE(reader.feed(bytes_of(text) + start, cut - start));
    start = cut;
  }
  EXPECT_TRUE(reader.feed(bytes_of(text) + start, text.size() - start));
  EXPECT_TRUE(reader.end_input());
  EXPECT_TRUE(reader.flush());
  EXPECT_EQ(reader.values(), lines);
  const Bytes bytes = test::unwrap(reader.sketch().to_bytes());
  return std::string(bytes.begin(), bytes.end());
}

std::string model_sketch(const std::string& text, std::uint64_t* lines) {
  HyperLogLogPlusPlus sketch = test::unwrap(HyperLogLogPlusPlus::new_string_or_bytes(10, 14));
  std::vector<std::uint64_t> hashes;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    const bool last = end == std::string::npos;
    if (last) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!last && !line.empty() && line.back() == '\r') line.pop_back();
    hashes.push_back(HyperLogLogPlusPlus::hash_bytes(ByteView(bytes_of(line), line.size())));
    start = end + 1;
  }
  *lines = hashes.size();
  test::unwrap(sketch.add_hashes(InputType::BYTES, hashes));
  const Bytes bytes = test::unwrap(sketch.to_bytes());
  return std::string(bytes.begin(), bytes.end());
}

TEST(LineReader, RandomLinesCutAnywhereGiveTheSketchOfTheLines) {
  std::mt19937_64 rng(77);
  for (int round = 0; round < 40; ++round) {
    // Small texts are cut at every position; large ones (hashed on two
    // threads in parts) at random ones.
    const bool large = round % 4 == 3;
    const std::size_t lines = large ? 80000 + rng() % 40000 : rng() % 12;
    std::string text;
    for (std::size_t i = 0; i < lines; ++i) {
      text += std::string(rng() % 3, 'x') + std::to_string(rng() % (large ? 5000 : 4));
      const std::size_t ending = rng() % 8;
      text += ending == 0 ? "\r\n" : ending == 1 ? "\r" : "\n";
    }
    if (rng() % 2) text += "tail";
    std::uint64_t count = 0;
    const std::string expected = model_sketch(text, &count);
    if (large) {
      std::vector<std::size_t> cuts;
      for (int i = 0; i < 3; ++i) cuts.push_back(rng() % (text.size() + 1));
      std::sort(cuts.begin(), cuts.end());
      ASSERT_EQ(reader_sketch(text, cuts, count), expected);
      continue;
    }
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
      ASSERT_EQ(reader_sketch(text, {cut}, count), expected) << "cut at " << cut << " of " << text;
    }
  }
}

}  // namespace
}  // namespace vantorelle::native
