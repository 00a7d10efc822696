// A metadata record's text with its "+Version" line left out, for tests that compare records
// written in different runs: that line names the data the record was written for (a file
// number and a time that differ from run to run).
#pragma once

#include <string>

namespace qt_record {

inline std::string without_version_line(const std::string &text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    size_t end = nl == std::string::npos ? text.size() : nl + 1;
    if (text.compare(at, 9, "+Version ") != 0) out.append(text, at, end - at);
    at = end;
  }
  return out;
}

}  // namespace qt_record
