#include "tree_set.hpp"

#include <utility>

namespace cladomatic {

Input owning_input(Snapshots&& set) {
  Snapshots whole = std::move(set);
  return Input::owning(std::move(whole));
}

}  // namespace cladomatic
