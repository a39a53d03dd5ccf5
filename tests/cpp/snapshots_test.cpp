#include "snapshot/snapshots.hpp"

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <random>
#include <thread>

#include "same_set.hpp"

namespace cladomatic {
namespace {

// Hands out texts in order and records how it was pulled.
class VectorSource : public TreeSource {
 public:
  explicit VectorSource(std::vector<std::string> texts, const TranslateMap* map = nullptr)
      : texts_(std::move(texts)), map_(map) {}

  std::optional<SourceTree> next() override {
    EXPECT_FALSE(ended_) << "pulled again after it ended";
    EXPECT_EQ(std::this_thread::get_id(), owner_) << "pulled from a worker thread";
    if (pulled_ == texts_.size()) {
      ended_ = true;
      return std::nullopt;
    }
    return SourceTree{texts_[pulled_++], map_};
  }

  std::size_t pulled() const { return pulled_; }

 private:
  std::vector<std::string> texts_;
  const TranslateMap* map_;
  std::size_t pulled_ = 0;
  bool ended_ = false;
  std::thread::id owner_ = std::this_thread::get_id();
};

Result<Snapshots> run(std::vector<std::string> texts, PipelineOptions options) {
  VectorSource source(std::move(texts));
  return from_newick_iter_opts(source, options);
}

std::string random_subtree(std::vector<std::string>& leaves, std::size_t first, std::size_t count,
                           std::mt19937_64& rng) {
  std::string length = ":" + std::to_string(rng() % 100) + ".5";
  if (count == 1) return leaves[first] + length;
  std::size_t left = 1 + rng() % (count - 1);
  return "(" + random_subtree(leaves, first, left, rng) + "," +
         random_subtree(leaves, first + left, count - left, rng) + ")" + length;
}

std::vector<std::string> random_newick(std::size_t n, std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::string> leaves;
  for (std::size_t i = 0; i < n; ++i) leaves.push_back("taxon_" + std::to_string(i));
  std::vector<std::string> texts;
  for (std::size_t t = 0; t < count; ++t) {
    std::shuffle(leaves.begin(), leaves.end(), rng);
    texts.push_back(random_subtree(leaves, 0, n, rng) + ";");
  }
  return texts;
}

TEST(ChunkSize, ComesFromTreeZerosSize) {
  EXPECT_EQ(chunk_size_for(8, 10'000, 198, 100), 1'000u);
  EXPECT_EQ(chunk_size_for(1, 20, 7, 4), 4'096u);
  EXPECT_EQ(chunk_size_for(64, 5'000'000, 10, 10), 64u);
  EXPECT_EQ(chunk_size_for(3, 10, 1, 1), 3u * 1'365u);
  EXPECT_EQ(chunk_size_for(0, 0, 0, 0), 4'096u);
  EXPECT_EQ(chunk_size_for(5'000, 1, 0, 0), 5'000u);
  EXPECT_EQ(chunk_size_for(4, std::size_t(-1), 1, 1), 4u);
}

TEST(Pipeline, EmptySourceGivesAnEmptySet) {
  Result<Snapshots> set = run({}, {});
  ASSERT_TRUE(set.ok());
  EXPECT_TRUE(set.value().snaps.empty());
  EXPECT_TRUE(set.value().leaf_names.empty());
  EXPECT_TRUE(set.value().freq.empty());
  EXPECT_EQ(set.value().clades.rows(), 0u);
  EXPECT_EQ(set.value().row_words, 0u);
}

TEST(Pipeline, TreeZeroFixesTheSortedLeafNames) {
  Result<Snapshots> set = run({"((b,a),C);", "(C,(a,b));"}, {.keep_clades = true});
  ASSERT_TRUE(set.ok()) << set.error();
  EXPECT_EQ(set.value().leaf_names, (std::vector<std::string>{"C", "a", "b"}));
  EXPECT_EQ(set.value().row_words, 1u);
  EXPECT_EQ(set.value().snaps.size(), 2u);
  EXPECT_EQ(set.value().freq, (std::vector<std::uint32_t>{2, 2, 2}));
}

TEST(Pipeline, TranslateMapsNameTheLeaves) {
  TranslateMap map{{"1", "A"}, {"2", "B"}, {"3", "C"}, {"4", "D"}};
  VectorSource source({"((1,2),(3,4));", "((1,3),(2,4));", "((2,1),(4,3));"}, &map);
  Result<Snapshots> set = from_newick_iter_opts(source, {});
  ASSERT_TRUE(set.ok()) << set.error();
  EXPECT_EQ(set.value().leaf_names, (std::vector<std::string>{"A", "B", "C", "D"}));
  std::vector<std::uint32_t> freq = set.value().freq;
  std::sort(freq.begin(), freq.end());
  EXPECT_EQ(freq, (std::vector<std::uint32_t>{1, 2}));
}

TEST(Pipeline, TreeZeroErrorsComeFirst) {
  Result<Snapshots> duplicate = run({"((A,B),A);", "((A,B),C);"}, {});
  ASSERT_FALSE(duplicate.ok());
  EXPECT_EQ(duplicate.error(), "Tree 0 has duplicate leaf names. All leaf names must be unique.");
  Result<Snapshots> unclosed = run({"((A,B),C;", "garbage"}, {});
  ASSERT_FALSE(unclosed.ok());
  EXPECT_EQ(unclosed.error(), "Failed to parse newick at index 0: a '(' is never closed");
}

TEST(Pipeline, ReportsTheFirstFailingTreeWhateverTheChunking) {
  std::vector<std::string> texts = random_newick(12, 40, 17);
  texts[13] = "(" + texts[13].substr(0, texts[13].size() - 1) + ",extra);";
  texts[29] = "(A,B";
  const std::string expected =
      "Tree 13 has a different leaf set than tree 0. All trees must share the same taxa.";
  for (std::size_t chunk : {1, 3, 8, 0}) {
    SCOPED_TRACE(chunk);
    VectorSource source(texts);
    Result<Snapshots> set = from_newick_iter_opts(source, {.chunk_size = chunk});
    ASSERT_FALSE(set.ok());
    EXPECT_EQ(set.error(), expected);
    // Nothing is pulled beyond the chunk that failed.
    if (chunk != 0) {
      EXPECT_EQ(source.pulled(), 1 + (12 / chunk + 1) * chunk);
    }
  }
  tbb::global_control one_thread(tbb::global_control::max_allowed_parallelism, 1);
  Result<Snapshots> serial = run(texts, {.chunk_size = 5});
  ASSERT_FALSE(serial.ok());
  EXPECT_EQ(serial.error(), expected);
}

TEST(Pipeline, ResultsDoNotDependOnChunkingOrThreads) {
  std::vector<std::string> texts = random_newick(30, 120, 4);
  PipelineOptions options{.rooted = true, .weighted = true, .keep_clades = true};
  Result<Snapshots> reference = run(texts, options);
  ASSERT_TRUE(reference.ok()) << reference.error();
  const Snapshots& ref = reference.value();
  ASSERT_EQ(ref.snaps.size(), texts.size());
  auto expect_same = [&ref](const Result<Snapshots>& other) {
    ASSERT_TRUE(other.ok()) << other.error();
    testing::expect_same_set(other.value(), ref);
  };
  for (std::size_t chunk : {1, 4, 50}) {
    options.chunk_size = chunk;
    expect_same(run(texts, options));
  }
  tbb::global_control one_thread(tbb::global_control::max_allowed_parallelism, 1);
  options.chunk_size = 7;
  expect_same(run(texts, options));
}

}  // namespace
}  // namespace cladomatic
