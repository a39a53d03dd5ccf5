#include "node_attributes.hpp"

#include <cstddef>
#include <optional>

#include "branch_length.hpp"
#include "quoted.hpp"
#include "syntax.hpp"

namespace cladomatic {
namespace {

constexpr int kMaxListDepth = 2;  // BEAST writes 2-D traits as lists of lists

class CommentParser {
 public:
  // `start`: where the parser begins in the comment, which messages show whole.
  CommentParser(std::string_view text, std::size_t start) : text_(text), pos_(start) {}

  std::optional<Error> attributes(std::vector<Attribute>& out) {
    while (true) {
      blanks();
      std::string_view name = word();
      if (name.empty()) return failure("an attribute has no name");
      blanks();
      if (at_end() || peek() == ',') {
        // a flag such as &R: nothing to summarise
      } else if (peek() == '=') {
        ++pos_;
        Attribute attribute{std::string(name), {}};
        if (std::optional<Error> failed = value(attribute.value, 0)) return failed;
        out.push_back(std::move(attribute));
        blanks();
      } else {
        return failure("expected '=' or ',' after " + quoted(name));
      }
      if (at_end()) return std::nullopt;
      if (peek() != ',') return failure("expected ',' between attributes");
      ++pos_;
    }
  }

  // MrBayes's `B name value`.
  std::optional<Error> rate(std::vector<Attribute>& out) {
    blanks();
    std::string_view name = word();
    blanks();
    std::string_view number = word();
    blanks();
    Attribute attribute{std::string(name), {}};
    if (name.empty() || !at_end() || !parse_branch_length(number, attribute.value.number))
      return failure("expected a name and a number after '&B'");
    attribute.value.kind = AttributeValue::Kind::number;
    out.push_back(std::move(attribute));
    return std::nullopt;
  }

  std::optional<Error> failure(const std::string& what) const {
    return Error{"malformed node comment " + quoted("[" + std::string(text_) + "]") + ": " + what};
  }

 private:
  bool at_end() const noexcept { return pos_ >= text_.size(); }
  char peek() const noexcept { return text_[pos_]; }

  void blanks() noexcept {
    while (!at_end() && byte_class(peek()) == ByteClass::space) ++pos_;
  }

  // A name or bare value: up to a blank or a character with a meaning here.
  std::string_view word() noexcept {
    const std::size_t start = pos_;
    while (!at_end()) {
      const char c = peek();
      if (c == ',' || c == '=' || c == '{' || c == '}' || c == '"' || c == '\'' ||
          byte_class(c) == ByteClass::space)
        break;
      ++pos_;
    }
    return text_.substr(start, pos_ - start);
  }

  std::optional<Error> value(AttributeValue& out, int depth) {
    blanks();
    if (at_end()) return failure("an attribute has no value");
    const char c = peek();
    if (c == '{') {
      if (depth == kMaxListDepth) return failure("lists are nested too deeply");
      ++pos_;
      out.kind = AttributeValue::Kind::list;
      while (true) {
        AttributeValue item;
        if (std::optional<Error> failed = value(item, depth + 1)) return failed;
        out.items.push_back(std::move(item));
        blanks();
        if (at_end()) return failure("a '{' is never closed");
        if (peek() == '}') {
          ++pos_;
          return std::nullopt;
        }
        if (peek() != ',') return failure("expected ',' or '}' in a list");
        ++pos_;
      }
    }
    if (c == '"' || c == '\'') {
      const std::size_t close = text_.find(c, pos_ + 1);
      if (close == std::string_view::npos) return failure("a quoted value is never closed");
      out.text = text_.substr(pos_ + 1, close - pos_ - 1);
      pos_ = close + 1;
      return std::nullopt;
    }
    std::string_view bare = word();
    if (bare.empty()) return failure("an attribute has no value");
    if (parse_branch_length(bare, out.number)) {
      out.kind = AttributeValue::Kind::number;
    } else {
      out.text = bare;
    }
    return std::nullopt;
  }

  std::string_view text_;
  std::size_t pos_;
};

}  // namespace

std::optional<Error> parse_node_comment(std::string_view comment, std::vector<Attribute>& out) {
  if (comment.empty() || comment[0] != '&') return std::nullopt;
  std::string_view rest = comment.substr(1);
  if (rest.size() >= 2 && rest[0] == 'B' && byte_class(rest[1]) == ByteClass::space)
    return CommentParser(comment, 2).rate(out);
  return CommentParser(comment, 1).attributes(out);
}

}  // namespace cladomatic
