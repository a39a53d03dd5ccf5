// Texts quoted for messages.
#pragma once

#include <string>
#include <string_view>

namespace cladomatic {

// The text between double quotes with C-style escapes, for messages.
std::string quoted(std::string_view text);

}  // namespace cladomatic
