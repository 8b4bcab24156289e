// Names of the cases of parametrized suites, read from what each case prints, so that
// ctest's list and gtest's output say which case ran rather than its index or its bytes.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <string_view>

namespace ruvo::testing_support {

// gtest takes only letters, digits and underscores in a case name. A leading minus is
// spelt out, or "-0" and "0" would name two cases alike.
inline std::string case_identifier(std::string_view text) {
  std::string name;
  if (!text.empty() && text.front() == '-') {
    name = "minus_";
    text.remove_prefix(1);
  }
  for (const char ch : text) {
    if (std::isalnum(static_cast<unsigned char>(ch)) != 0) {
      name += ch;
    } else if (!name.empty() && name.back() != '_') {
      name += '_';
    }
  }
  while (!name.empty() && name.back() == '_') name.pop_back();
  return name.empty() ? std::string("empty") : name;
}

// For INSTANTIATE_TEST_SUITE_P: a case is named after its PrintTo text. gtest refuses two
// cases of one suite with the same name, so a clash shows up when the suite starts.
struct NamedByPrintTo {
  template <class Param>
  std::string operator()(const ::testing::TestParamInfo<Param>& info) const {
    return case_identifier(::testing::PrintToString(info.param));
  }
};

}  // namespace ruvo::testing_support
