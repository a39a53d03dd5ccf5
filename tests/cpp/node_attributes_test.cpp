#include "snapshot/node_attributes.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "snapshot/newick.hpp"
#include "snapshot/timed_tree.hpp"
#include "summaries/annotate.hpp"

namespace cladomatic {
namespace {

using Kind = AttributeValue::Kind;

std::vector<Attribute> parsed(std::string_view comment) {
  std::vector<Attribute> out;
  std::optional<Error> failed = parse_node_comment(comment, out);
  EXPECT_FALSE(failed) << comment << ": " << (failed ? failed->message : "");
  return out;
}

TEST(NodeAttributes, ReadsEveryValueForm) {
  std::vector<Attribute> found =
      parsed("&rate=8.7E-4, location=\"Hong Kong\",host=bird,pair={1.5,2},grid={{1,2},{3,4}},flag");
  ASSERT_EQ(found.size(), 5u);
  EXPECT_EQ(found[0].name, "rate");
  EXPECT_EQ(found[0].value.kind, Kind::number);
  EXPECT_EQ(found[0].value.number, 8.7e-4);
  EXPECT_EQ(found[1].value.kind, Kind::text);
  EXPECT_EQ(found[1].value.text, "Hong Kong");
  EXPECT_EQ(found[2].value.text, "bird");
  EXPECT_EQ(found[3].value.kind, Kind::list);
  ASSERT_EQ(found[3].value.items.size(), 2u);
  EXPECT_EQ(found[3].value.items[1].number, 2.0);
  EXPECT_EQ(found[4].value.items[1].items[0].number, 3.0);

  std::vector<Attribute> rate = parsed("&B IndBrlens 1.25e-01");
  ASSERT_EQ(rate.size(), 1u);
  EXPECT_EQ(rate[0].name, "IndBrlens");
  EXPECT_EQ(rate[0].value.number, 0.125);
  EXPECT_TRUE(parsed("a plain remark").empty());
  EXPECT_TRUE(parsed("&R").empty());
}

TEST(NodeAttributes, RefusesMalformedComments) {
  for (const char* comment : {"&=1", "&rate=", "&rate=1,", "&a={1,2", "&a=\"x", "&a=1 b", "&a={1,2}x",
                              "&a={{{1}}}", "&B rate", "&B rate x"}) {
    std::vector<Attribute> out;
    std::optional<Error> failed = parse_node_comment(comment, out);
    ASSERT_TRUE(failed) << comment;
    EXPECT_EQ(failed->message.rfind("malformed node comment \"[", 0), 0u) << failed->message;
  }
}

TEST(TimedTree, ReadsCommentsWhereverTheSamplersPutThem) {
  const std::vector<std::string> names{"A", "B", "C"};
  const SnapshotContext context = make_snapshot_context(names, true);
  const TranslateMap none;
  // the same tree as BEAST 1, BEAST 2 and MrBayes place node comments; C is dated 1 before A and B
  for (const char* text : {"((A:[&r=1]2,B:[&r=2]2):[&r=3]1,C:[&r=4]2)[&r=5];",
                           "((A[&r=1]:2,B[&r=2]:2)[&r=3]:1,C[&r=4]:2)[&r=5];",
                           "((A:2[&r=1],B:2[&r=2]):1[&r=3],C:2[&r=4])[&r=5];"}) {
    Result<TimedTree> read = timed_tree(text, none, 0, context, true);
    ASSERT_TRUE(read) << text << ": " << read.error();
    const TimedTree& tree = read.value();
    ASSERT_EQ(tree.nodes.size(), 5u) << text;
    std::vector<double> heights, rates;
    for (const TimedNode& node : tree.nodes) {
      heights.push_back(node.height);
      ASSERT_EQ(node.attribute_count, 1u) << text;
      rates.push_back(tree.attributes_of(node)[0].value.number);
    }
    EXPECT_EQ(heights, (std::vector<double>{0, 0, 2, 1, 3})) << text;
    EXPECT_EQ(rates, (std::vector<double>{1, 2, 3, 4, 5})) << text;
    EXPECT_EQ(tree.nodes[0].parent, 2);
    EXPECT_EQ(tree.nodes[3].parent, 4);
    EXPECT_EQ(tree.nodes[4].parent, -1);
  }
  const char* malformed = "((A:[&r=]2,B:2):1,C:2);";
  Result<TimedTree> refused = timed_tree(malformed, none, 7, context, true);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().find("malformed node comment"), std::string::npos);
  EXPECT_TRUE(timed_tree(malformed, none, 7, context, false));
  EXPECT_TRUE(snapshot(malformed, none, 7, context));
}

TEST(Summaries, MeanMedianIntervalAndRange) {
  struct Case {
    std::vector<double> values;
    ValueSummary expected;
  };
  std::vector<double> twenty;
  for (int k = 0; k < 20; ++k) twenty.push_back(k == 19 ? 100.0 : k);
  for (Case c : {Case{{3.0}, {3.0, 3.0, 3.0, 3.0, 3.0, 3.0}},
                 {{4.0, 1.0, 2.0, 3.0}, {2.5, 2.5, 1.0, 4.0, 1.0, 4.0}},
                 {{5.0, 1.0, 3.0}, {3.0, 3.0, 1.0, 5.0, 1.0, 5.0}},
                 // 19 of 20 values: the narrowest run leaves the outlier out
                 {twenty, {13.55, 9.5, 0.0, 18.0, 0.0, 100.0}}}) {
    ValueSummary s = summarise(c.values);
    EXPECT_DOUBLE_EQ(s.mean, c.expected.mean);
    EXPECT_EQ(s.median, c.expected.median);
    EXPECT_EQ(s.hpd_low, c.expected.hpd_low);
    EXPECT_EQ(s.hpd_high, c.expected.hpd_high);
    EXPECT_EQ(s.low, c.expected.low);
    EXPECT_EQ(s.high, c.expected.high);
  }
}

}  // namespace
}  // namespace cladomatic
