// Newick texts handed to the pipeline one by one, without translate maps.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "snapshot/snapshots.hpp"

namespace cladomatic::testing {

class Texts final : public TreeSource {
 public:
  explicit Texts(std::vector<std::string> texts) : texts_(std::move(texts)) {}
  std::optional<SourceTree> next() override {
    if (at_ == texts_.size()) return std::nullopt;
    return SourceTree{texts_[at_++]};
  }

 private:
  std::vector<std::string> texts_;
  std::size_t at_ = 0;
};

}  // namespace cladomatic::testing
