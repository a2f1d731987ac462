#include "ExpressionFunctions.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace Orvex::HardwareAPI::Haptics::ExpressionFunctions {

namespace {

double floor_of(double x) { return std::floor(x); }
double ceil_of(double x) { return std::ceil(x); }
double round_of(double x) { return std::round(x); }
// Bounds given the wrong way round clamp to low, as std::clamp leaves undefined.
double clamp_of(double x, double low, double high) { return std::max(low, std::min(x, high)); }

bool is_name(const std::string& token) {
  return !token.empty() &&
         (std::isalpha(static_cast<unsigned char>(token[0])) || token[0] == '_');
}

}  // namespace

void define(mu::Parser& parser) {
  parser.DefineFun("floor", floor_of);
  parser.DefineFun("ceil", ceil_of);
  parser.DefineFun("round", round_of);
  parser.DefineFun("clamp", clamp_of);
  // muparser's own carry 12 decimals only.
  parser.DefineConst("_pi", 3.14159265358979323846);
  parser.DefineConst("_e", 2.71828182845904523536);
}

std::string complaint(const mu::Parser::exception_type& problem) {
  const std::string at = " at position " + std::to_string(problem.GetPos());
  // muparser takes a name it does not know for a token it did not expect.
  if (problem.GetCode() == mu::ecUNASSIGNABLE_TOKEN && is_name(problem.GetToken()))
    return "unknown name \"" + problem.GetToken() + "\"" + at;
  std::string text = problem.GetMsg();
  if (problem.GetPos() >= 0 && text.find("position") == std::string::npos) text += " (" + at.substr(1) + ")";
  return text;
}

}  // namespace Orvex::HardwareAPI::Haptics::ExpressionFunctions
