// The engines' and exports' results as owned vectors, for tests: the module
// itself only ever writes into buffers it hands out.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "distances/rf.hpp"
#include "distances/weighted.hpp"
#include "snapshot/export.hpp"

namespace cladomatic::testing {

template <class Cell, class Engine>
std::vector<Cell> owned_matrix(Engine engine, Input&& input, std::atomic<std::uint64_t>* progress) {
  const std::size_t n = input.size();
  std::vector<Cell> matrix(n * n);
  engine(std::move(input), progress, std::as_writable_bytes(std::span(matrix)));
  return matrix;
}

inline std::vector<std::uint32_t> distance_rf(Input&& input, std::atomic<std::uint64_t>* progress) {
  return owned_matrix<std::uint32_t>(
      [](Input&& in, auto* p, std::span<std::byte> out) { cladomatic::distance_rf(std::move(in), p, out); },
      std::move(input), progress);
}

inline std::vector<double> distance_wrf(Input&& input, std::atomic<std::uint64_t>* progress) {
  return owned_matrix<double>(
      [](Input&& in, auto* p, std::span<std::byte> out) { cladomatic::distance_wrf(std::move(in), p, out); },
      std::move(input), progress);
}

inline std::vector<double> distance_kf(Input&& input, std::atomic<std::uint64_t>* progress) {
  return owned_matrix<double>(
      [](Input&& in, auto* p, std::span<std::byte> out) { cladomatic::distance_kf(std::move(in), p, out); },
      std::move(input), progress);
}

struct ExportMatrix {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint64_t> columns;
};

inline ExportMatrix build_presence_matrix(const Snapshots& set) {
  ColumnOrder order = column_order(set);
  ExportMatrix out;
  out.bytes.resize(set.snaps.size() * order.columns.size());
  fill_presence_matrix(set, order, out.bytes);
  out.columns = std::move(order.columns);
  return out;
}

// The set must carry branch lengths.
inline ExportMatrix build_branch_length_matrix(const Snapshots& set) {
  ColumnOrder order = column_order(set);
  ExportMatrix out;
  out.bytes.resize(set.snaps.size() * order.columns.size() * sizeof(double));
  fill_branch_length_matrix(set, order, std::as_writable_bytes(std::span(out.bytes)));
  out.columns = std::move(order.columns);
  return out;
}

inline std::vector<std::uint8_t> build_bipartition_bytes(const Snapshots& set,
                                                         const std::vector<std::uint64_t>& columns) {
  std::vector<std::uint8_t> bytes(columns.size() * bipartition_stride(set));
  fill_bipartition_bytes(set, columns, bytes);
  return bytes;
}

}  // namespace cladomatic::testing
