// Sorting the short rows built per tree (sparse rows, clade rows), where
// insertion sort beats std::sort below about 20 entries.
#pragma once

#include <algorithm>
#include <functional>
#include <iterator>

namespace cladomatic {

template <class It, class Less = std::less<>>
void small_sort(It first, It last, Less less = {}) {
  if (last - first > 20) {
    std::sort(first, last, less);
    return;
  }
  if (first == last) return;
  for (It i = std::next(first); i != last; ++i) {
    auto v = std::move(*i);
    It j = i;
    for (; j != first && less(v, *std::prev(j)); --j) *j = std::move(*std::prev(j));
    *j = std::move(v);
  }
}

}  // namespace cladomatic
