// The annotating pass over a reading's trees (TargetAnnotation).
#pragma once

#include <nanobind/nanobind.h>

namespace cladomatic {

void bind_annotation(nanobind::module_& module);

}  // namespace cladomatic
