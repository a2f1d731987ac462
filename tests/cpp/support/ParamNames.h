#pragma once

#include <gtest/gtest.h>

#include <string>

namespace Orvex::Testing {

// Names each case of a parametrized test after its parameter's name field.
struct ByName {
  template <class Param>
  std::string operator()(const ::testing::TestParamInfo<Param>& info) const {
    return info.param.name;
  }
};

}  // namespace Orvex::Testing
