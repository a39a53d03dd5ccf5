#include "reading/tree_records.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "reading/gzip_source.hpp"
#include "reading/read_ahead.hpp"

namespace cladomatic {
namespace {

using namespace std::string_literals;

// Bytes handed out a few at a time, so that every token, comment, quote and
// UTF-8 sequence of a case lies across a read somewhere.
class PiecesSource final : public ByteSource {
 public:
  PiecesSource(std::string bytes, std::size_t piece) : bytes_(std::move(bytes)), piece_(piece) {}
  Result<std::size_t> read(std::span<char> into) override {
    const std::size_t count = std::min(std::min(into.size(), piece_), bytes_.size() - at_);
    std::memcpy(into.data(), bytes_.data() + at_, count);
    at_ += count;
    return count;
  }

 private:
  std::string bytes_;
  std::size_t piece_;
  std::size_t at_ = 0;
};

Opener pieces(std::string bytes, std::size_t piece) {
  return [=]() -> Result<std::unique_ptr<ByteSource>> {
    return std::unique_ptr<ByteSource>(std::make_unique<PiecesSource>(bytes, piece));
  };
}

std::string gzipped(const std::string& text) {
  z_stream stream{};
  deflateInit2(&stream, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, text.size()) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

struct Read {
  std::vector<TreeRecord> records;
  std::string error;
};

Read read_all(const std::string& bytes, std::size_t chunk, std::size_t max_chars = 1 << 20,
              bool ahead = false) {
  TreeReader reader(pieces(bytes, chunk), "t.nex", ReaderOptions{chunk, max_chars, ahead});
  Read read;
  while (std::optional<TreeRecord> record = reader.next()) read.records.push_back(std::move(*record));
  if (reader.error()) read.error = reader.error()->message;
  return read;
}

class Chunked : public ::testing::TestWithParam<std::size_t> {};
INSTANTIATE_TEST_SUITE_P(Sizes, Chunked, ::testing::Values(1, 2, 3, 7, 1 << 20));

Read read_unfinished(const std::string& bytes, std::size_t chunk, std::string& unfinished) {
  TreeReader reader(pieces(bytes, chunk), "t.nex", ReaderOptions{chunk, 1 << 20});
  Read read;
  while (std::optional<TreeRecord> record = reader.next()) read.records.push_back(std::move(*record));
  if (reader.error()) read.error = reader.error()->message;
  unfinished = reader.unfinished().value_or("");
  return read;
}

TEST_P(Chunked, AnUnfinishedLastTreeAfterWholeOnesIsLeftOutAndSaid) {
  std::string unfinished;
  Read read = read_unfinished("(A,B);\n(A,(B", GetParam(), unfinished);
  EXPECT_EQ(read.error, "");
  ASSERT_EQ(read.records.size(), 1u);
  EXPECT_EQ(unfinished,
            "t.nex:2: the file ends before this tree's ';' (is it still being written?); "
            "the tree before it is read");
  // The file's only tree is passed on, for the engine to say what is wrong.
  read = read_unfinished("(A,(B", GetParam(), unfinished);
  ASSERT_EQ(read.records.size(), 1u);
  EXPECT_EQ(unfinished, "");
  const std::string nexus = "#NEXUS\nbegin trees;\ntree a = (A,B);\n";
  for (const std::string end : {"tree b = ((A,[c", "tree b", "tree b =  ", "tree b = (A,'B"}) {
    read = read_unfinished(nexus + end, GetParam(), unfinished);
    EXPECT_EQ(read.error, "") << end;
    EXPECT_EQ(read.records.size(), 1u) << end;
    EXPECT_TRUE(unfinished.starts_with("t.nex:4: the file ends before")) << end;
  }
  // Not at the end: an error as before.
  read = read_unfinished(nexus + "tree b (A,B);\n", GetParam(), unfinished);
  EXPECT_EQ(read.error, "t.nex:4: a TREE command without '='");
  EXPECT_EQ(unfinished, "");
}

TEST_P(Chunked, NewickTreesAreCutAtSemicolonsOutsideCommentsAndQuotes) {
  const Read read =
      read_all("\xEF\xBB\xBF  (A,B);\n[c;[d] ((A,\"x;y[z\"),B);\r\n\n(A,\nB)\n;  [end; x]\n", GetParam());
  ASSERT_EQ(read.error, "");
  ASSERT_EQ(read.records.size(), 3u);
  EXPECT_EQ(read.records[0].text, "(A,B);");
  EXPECT_EQ(read.records[1].text, "[c;[d] ((A,\"x;y[z\"),B);");
  EXPECT_EQ(read.records[2].text, "(A,\nB)\n;");
  EXPECT_EQ(read.records[2].line, 4u);
  EXPECT_EQ(read.records[2].position, 2u);
}

TEST_P(Chunked, SingleQuotedLabelsAreRespelledAcrossReads) {
  const Read read = read_all("(('Homo sapiens',Zoë_ß),'O''Brien','a;b',''[x'y]);", GetParam());
  ASSERT_EQ(read.records.size(), 1u);
  EXPECT_EQ(read.records[0].text, "((Homo_sapiens,Zoë_ß),O'Brien,\"a;b\",[x'y]);");
}

TEST_P(Chunked, NexusBlocksNamesAndTables) {
  const std::string nexus =
      "#NEXUS\nbegin taxa; taxlabels 'Homo sapiens' Pan;\nend;\nBEGIN TREES;\n translate 1 'Homo sapiens', 2 "
      "Pan "
      "troglodytes, 3 'O''Brien''s';\n tree * 'first one' [&lnP=1;x] = [&U] (1,(2,3));\nend;\n#nexus\nbegin "
      "trees;\n"
      "tree t = (A,B);\nendblock;\n";
  const Read read = read_all(nexus, GetParam());
  ASSERT_EQ(read.error, "");
  ASSERT_EQ(read.records.size(), 2u);
  const TreeRecord& first = read.records[0];
  EXPECT_EQ(first.text, "[&U] (1,(2,3));");
  EXPECT_EQ(first.name, "first one");
  EXPECT_EQ(first.comments, "[&lnP=1;x]");
  EXPECT_EQ(first.line, 6u);
  ASSERT_TRUE(first.table);
  EXPECT_EQ(first.table->at("2"), "Pan_troglodytes");
  EXPECT_EQ(first.table->at("3"), "O'Brien's");
  EXPECT_EQ(first.table->at("Homo_sapiens"), "Homo_sapiens");
  EXPECT_EQ(read.records[1].block, 1u);
  EXPECT_EQ(read.records[1].position, 0u);
  EXPECT_FALSE(read.records[1].table);
}

struct Fault {
  std::string bytes;
  std::string message;
};

class Faults : public ::testing::TestWithParam<Fault> {};

TEST_P(Faults, AreSaidWithTheirInputAndLine) {
  for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{1} << 20}) {
    for (bool ahead : {false, true}) {
      EXPECT_EQ(read_all(GetParam().bytes, chunk, 40, ahead).error, GetParam().message)
          << "chunk " << chunk << (ahead ? ", read ahead" : "");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Faults,
    ::testing::Values(
        Fault{"#NEXUS\nbegin trees; [open\n", "t.nex:2: a '[' comment is never closed"},
        Fault{"#NEXUS\nbegin trees;\ntranslate 1 'A, 2 B;", "t.nex:3: a quoted name is never closed"},
        Fault{"#NEXUS\nbegin trees;\ntranslate 1 A, 1 B;", "t.nex:3: TRANSLATE lists '1' twice"},
        Fault{"#NEXUS\nbegin trees;\ntranslate 1 A, 2", "t.nex:3: the TRANSLATE command does not end in ';'"},
        Fault{"#NEXUS\nbegin trees;\ntranslate 1 A, ,", "t.nex:3: unexpected ',' in the TRANSLATE command"},
        Fault{"#NEXUS\nbegin trees;\ntree t (A,B);\nend;", "t.nex:3: a TREE command without '='"},
        Fault{"#NEXUS\nbegin trees;\ntree t =   ", "t.nex:3: a TREE command without a tree after '='"},
        Fault{"(A,B);\n(" + std::string(50, 'x') + ");",
              "t.nex:2: a tree or name longer than the limit of 40 characters"},
        Fault{"(A,B);\n(\xE9,B);", "t.nex: not UTF-8 text (after line 1)"},
        Fault{"(A,\xF0\x9F\x8C", "t.nex: not UTF-8 text (after line 1)"},
        Fault{">Homo\nACGT\n", "t.nex:1: this is a FASTA sequence file, not trees"},
        Fault{"[ID: 9]\r\nGen\tLnL\n",
              "t.nex:1: this is a MrBayes parameter file, not a tree file (the trees are in the .t file)"},
        Fault{
            "\n 3 10 I\nHomo ACGT\n",
            "t.nex:2: this is a PHYLIP alignment (it starts with the numbers of taxa and sites), not trees"},
        Fault{
            "BZh91AY",
            "t.nex: the file is bzip2-compressed; decompress it first (bunzip2), or recompress it with gzip"},
        Fault{gzipped("(A,B);\n").substr(0, 12),
              "t.nex: cannot read: Compressed file ended before the end-of-stream marker was reached"}));

TEST(TreeReader, LimitCountsCharactersNotBytes) {
  // 30 characters in 60 bytes fit a limit of 40.
  std::string label;
  for (int i = 0; i < 28; ++i) label += "é";
  const Read read = read_all("(" + label + ");", 1 << 20, 40);
  EXPECT_EQ(read.error, "");
  EXPECT_EQ(read.records.size(), 1u);
}

TEST(TreeReader, GzipMembersJoinedAndPaddedAreOneStream) {
  const std::string run = "#NEXUS\nbegin trees; tree a = (A,B); tree b = (A,B);\nend;\n";
  for (std::size_t chunk : {std::size_t{1}, std::size_t{1} << 20}) {
    const Read read = read_all(gzipped(run) + gzipped(run) + std::string(5, '\0'), chunk);
    ASSERT_EQ(read.error, "");
    ASSERT_EQ(read.records.size(), 4u);
    EXPECT_EQ(read.records[2].block, 1u);
    EXPECT_EQ(read.records[3].name, "b");
  }
  EXPECT_NE(read_all(gzipped(run) + "junk", 1 << 20).error, "");
}

// Bytes, then an error: what a source read ahead must hand on in order.
class FailingSource final : public ByteSource {
 public:
  explicit FailingSource(std::string bytes) : bytes_(std::move(bytes)) {}
  Result<std::size_t> read(std::span<char> into) override {
    if (at_ == bytes_.size()) return Error{"Input/output error"};
    const std::size_t count = std::min<std::size_t>({into.size(), 2, bytes_.size() - at_});
    std::memcpy(into.data(), bytes_.data() + at_, count);
    at_ += count;
    return count;
  }

 private:
  std::string bytes_;
  std::size_t at_ = 0;
};

TEST(ReadAhead, GivesTheSourcesBytesThenItsEndOrErrorWhateverTheBlocks) {
  std::string text;
  for (int i = 0; i < 500; ++i) text += "(A" + std::to_string(i) + ",B);\n";
  for (std::size_t block : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
    for (bool fails : {false, true}) {
      std::unique_ptr<ByteSource> source =
          fails ? std::unique_ptr<ByteSource>(std::make_unique<FailingSource>(text))
                : std::unique_ptr<ByteSource>(std::make_unique<PiecesSource>(text, 3));
      source = read_ahead(std::move(source), block, 2);
      std::string got(text.size() + 10, '\0');
      std::size_t filled = 0;
      std::string error;
      for (int repeat = 0; repeat < 2; ++repeat) {  // the end (or the error) is given again
        for (;;) {
          Result<std::size_t> count = source->read(std::span(got).subspan(filled, 5));
          if (!count) {
            error = count.error();
            break;
          }
          if (count.value() == 0) break;
          filled += count.value();
        }
      }
      EXPECT_EQ(got.substr(0, filled), text) << block;
      EXPECT_EQ(error, fails ? "Input/output error" : "") << block;
    }
  }
  // Left unread, it stops its thread.
  std::unique_ptr<ByteSource> dropped = read_ahead(std::make_unique<PiecesSource>(text, 3), 1, 1);
}

struct Drained {
  std::string bytes;
  std::string error;
};

Drained drain(std::unique_ptr<ByteSource> source) {
  Drained drained;
  char buffer[5];
  for (;;) {
    Result<std::size_t> got = source->read(buffer);
    if (!got) {
      drained.error = got.error();
      return drained;
    }
    if (got.value() == 0) return drained;
    drained.bytes.append(buffer, got.value());
  }
}

TEST(GzipSource, TheReadersInflateGivesZlibsBytesAndErrors) {
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "(A" + std::to_string(i % 97) + ",B);\n";
  const std::string member = gzipped(text);
  std::string corrupt = member;
  corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x55);
  for (const std::string& stream : {member + gzipped("(C,D);") + std::string(3, '\0'), member.substr(0, 300),
                                    member + "junk", member + "\x1f", corrupt}) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{1} << 20}) {
      const Drained zlib = drain(zlib_gzip_source(std::make_unique<PiecesSource>(stream, piece)));
      const Drained ours = drain(gzip_source(std::make_unique<PiecesSource>(stream, piece)));
      // Bytes before an error are never read as trees, so only the error counts there.
      if (zlib.error.empty()) {
        EXPECT_TRUE(ours.bytes == zlib.bytes && ours.error.empty())
            << gzip_inflate_name() << ", piece " << piece;
      } else if (zlib.error.starts_with("Error ")) {  // a corrupt stream: each inflate words it its own way
        EXPECT_TRUE(ours.error.starts_with("Error ")) << ours.error;
      } else {
        EXPECT_EQ(ours.error, zlib.error) << gzip_inflate_name() << ", piece " << piece;
      }
    }
  }
}

TEST(TreeReader, PeekLeavesTheTreeToNext) {
  TreeReader reader(pieces("(A,B);(B,A);", 4), "t", {});
  ASSERT_NE(reader.peek(), nullptr);
  EXPECT_EQ(reader.peek()->text, "(A,B);");
  EXPECT_EQ(reader.next()->text, "(A,B);");
  EXPECT_EQ(reader.next()->text, "(B,A);");
  EXPECT_EQ(reader.peek(), nullptr);
  EXPECT_FALSE(reader.next());
}

}  // namespace
}  // namespace cladomatic
