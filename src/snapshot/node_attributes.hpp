// What samplers write on nodes: `[&name=value,...]` comments (numbers,
// quoted or bare strings, `{...}` lists nested at most twice deep) and
// MrBayes's `[&B name value]` rate comments.  Only readers that ask for
// attributes parse them; every other reader skips comments unread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"

namespace cladomatic {

struct AttributeValue {
  enum class Kind { number, text, list };
  Kind kind = Kind::text;
  double number = 0.0;
  std::string text;  // a string's text, unquoted (a number keeps its value alone: one allocation less a node)
  std::vector<AttributeValue> items;
};

struct Attribute {
  std::string name;
  AttributeValue value;
};

// The attributes of one comment, given without its brackets; a comment not
// starting with '&' (a plain remark) and a bare flag such as `&R` carry none.
// Appends to `out`; an error names the comment and what is wrong with it.
std::optional<Error> parse_node_comment(std::string_view comment, std::vector<Attribute>& out);

}  // namespace cladomatic
