// Tree files read by the core for cladomatic_tools: one input's records for
// the Python reader (TreeFile), and the selected trees of several readings
// as one source for the pipeline (FileReading).
#pragma once

#include <nanobind/nanobind.h>

#include "snapshot/snapshots.hpp"

namespace cladomatic {

// The trees of a FileReading object as the pipeline's source.
TreeSource& tree_source(nanobind::handle reading);

// After the pipeline: raises again what a hook or a file object raised;
// false when reading ended on a fault of the input (its `error` says which).
bool reading_went_well(nanobind::handle reading);

void bind_reading(nanobind::module_& module);

}  // namespace cladomatic
