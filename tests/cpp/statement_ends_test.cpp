#include "reading/statement_ends.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "reading/tree_records.hpp"

namespace cladomatic {
namespace {

// One byte at a time, as the reader cut statements before it looked at
// blocks.
const char* byte_by_byte(const char* first, const char* last, bool tree_text, StatementScan& scan) {
  for (; first != last; ++first) {
    const char c = *first;
    if (scan.closer != 0) {
      if (c == scan.closer) scan.closer = 0;
    } else if (c == ';') {
      return first;
    } else if (c == '[') {
      scan.closer = ']';
    } else if (c == '\'') {
      scan.closer = '\'';
      scan.single_quotes = true;
    } else if (c == '"' && tree_text) {
      scan.closer = '"';
    }
  }
  return last;
}

// Text where markers are common enough that blocks hold every mix of them,
// and long enough that stretches run across blocks.
std::string marked_text(std::mt19937& random, std::size_t length) {
  static constexpr char kBytes[] = ";[]'\"abc (),:\n";
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kBytes - 2);
  std::uniform_int_distribution<int> plain_run(0, 3);
  std::string text;
  while (text.size() < length) {
    const int run = plain_run(random) == 0 ? 90 : 0;  // a block with no marker at all
    text.append(static_cast<std::size_t>(run), 'x');
    text += kBytes[pick(random)];
  }
  return text;
}

bool same(const StatementScan& a, const StatementScan& b) {
  return a.closer == b.closer && a.single_quotes == b.single_quotes;
}

TEST(StatementEnds, EveryPathAndEverySplitFindsWhatByteByByteFinds) {
  std::mt19937 random(35);
  for (int round = 0; round < 3000; ++round) {
    const std::string text = marked_text(random, random() % 400);
    const char* first = text.data();
    const char* last = first + text.size();
    const bool tree_text = round % 2 == 0;
    StatementScan start;
    start.closer = "\0]'\""[round % 4];
    if (!tree_text && start.closer == '"') start.closer = 0;

    StatementScan expected_scan = start;
    const char* expected = byte_by_byte(first, last, tree_text, expected_scan);
    for (const Simd simd : {Simd::kAuto, Simd::kBaseline}) {
      StatementScan scan = start;
      EXPECT_EQ(find_statement_end(first, last, tree_text, scan, simd) - first, expected - first) << text;
      EXPECT_TRUE(same(scan, expected_scan)) << text;
      // Cut where a chunk ends: the stretch carries over.
      const auto split = static_cast<std::size_t>(random() % (text.size() + 1));
      scan = start;
      const char* found = find_statement_end(first, first + split, tree_text, scan, simd);
      if (found == first + split) found = find_statement_end(first + split, last, tree_text, scan, simd);
      EXPECT_EQ(found - first, expected - first) << text << " split at " << split;
      EXPECT_TRUE(same(scan, expected_scan)) << text << " split at " << split;
    }
  }
}

class Bytes final : public ByteSource {
 public:
  Bytes(std::string bytes, std::size_t piece) : bytes_(std::move(bytes)), piece_(piece) {}
  Result<std::size_t> read(std::span<char> into) override {
    const std::size_t count = std::min({into.size(), piece_, bytes_.size() - at_});
    std::memcpy(into.data(), bytes_.data() + at_, count);
    at_ += count;
    return count;
  }

 private:
  std::string bytes_;
  std::size_t piece_;
  std::size_t at_ = 0;
};

std::string read_as_text(const std::string& bytes, std::size_t chunk, Simd simd) {
  const Opener open = [&]() -> Result<std::unique_ptr<ByteSource>> {
    return std::unique_ptr<ByteSource>(std::make_unique<Bytes>(bytes, chunk));
  };
  TreeReader reader(open, "t", ReaderOptions{chunk, 1 << 20, false, simd});
  std::string read;
  while (std::optional<TreeRecord> record = reader.next()) {
    read += std::to_string(record->line) + " " + std::to_string(record->block) + " " +
            std::to_string(record->position) + " " + record->name.value_or("-") + " " + record->comments +
            " " + record->text + "\n";
  }
  return read + (reader.error() ? reader.error()->message : "") + reader.unfinished().value_or("");
}

TEST(StatementEnds, TreeFilesAreCutAlikeOnEveryPathWhateverTheChunks) {
  std::mt19937 random(3535);
  for (int round = 0; round < 300; ++round) {
    std::string file = round % 2 == 0 ? "#NEXUS\nbegin trees;\ntranslate 1 'a b', 2 c;\n" : "";
    const int trees = 1 + static_cast<int>(random() % 6);
    for (int tree = 0; tree < trees; ++tree) {
      if (round % 2 == 0) file += "tree t" + std::to_string(tree) + " [&lnP=-1] = ";
      file += marked_text(random, random() % 300) + ";\n";
    }
    const std::size_t chunk = 1 + random() % 150;
    EXPECT_EQ(read_as_text(file, chunk, Simd::kAuto), read_as_text(file, chunk, Simd::kBaseline))
        << file << "\nin chunks of " << chunk;
  }
}

}  // namespace
}  // namespace cladomatic
