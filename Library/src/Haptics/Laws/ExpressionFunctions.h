#pragma once

// What an expression may call beyond muparser's own functions, and the error texts that say
// where an expression went wrong.

#include <muParser.h>

#include <string>

namespace Orvex::HardwareAPI::Haptics::ExpressionFunctions {

// Defines floor(x), ceil(x), round(x) (halves away from zero) and clamp(x, low, high): plain
// arithmetic, which the loop's byte code calls without allocating; and the constants _pi and _e
// to double precision. muparser brings sign(x), rint(x), abs, min, max and the rest.
void define(mu::Parser& parser);

// muparser's complaint about an expression, in our words: an unknown name is named as such, with
// where it stands, and a position is always given when muparser knows it.
std::string complaint(const mu::Parser::exception_type& problem);

}  // namespace Orvex::HardwareAPI::Haptics::ExpressionFunctions
