// Expected S3 answers for the dispatcher and bucket tests: the error document, masking of the
// values that change per answer, one shared server per test program, the traffic counters.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "fixture.h"
#include "harness.h"

namespace qa {

// The error document as the server writes it, with its RequestId masked.
inline std::string error_doc(const std::string &code, const std::string &message,
                             const std::string &resource) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error>\n  <Code>" + code +
         "</Code>\n  <Message>" + message + "</Message>\n  <Resource>" + resource +
         "</Resource>\n  <RequestId>ID</RequestId>\n  <HostId>quillmars3localhost</HostId>\n"
         "</Error>\n";
}

// Replaces Date, x-amz-request-id, the error RequestId and ISO times with fixed marks.
inline std::string mask(std::string text) {
  text = std::regex_replace(text, std::regex("Date: [^\r]*"), "Date: *");
  text = std::regex_replace(text, std::regex("x-amz-request-id: [0-9a-f]{32}"), "x-amz-request-id: *");
  text = std::regex_replace(text, std::regex("<RequestId>[0-9a-f]{32}</RequestId>"),
                            "<RequestId>ID</RequestId>");
  return std::regex_replace(text, std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.000Z"),
                            "TIME");
}

// The head of an error answer of the given status and document length, masked; closing: it
// ends the connection (the request asked so, or its body was left unread), and says so.
inline std::string error_head(const std::string &status_line, size_t doc_len, bool closing = true) {
  return status_line + "\r\nServer: quillmar-s3/1.2.3\r\nDate: *\r\nx-amz-request-id: *\r\n"
                       "Content-Length: " + std::to_string(doc_len) +
         "\r\nContent-Type: application/xml\r\n" + (closing ? "Connection: close\r\n" : "");
}

// Checks a whole error answer byte for byte (Date and ids masked); the document's RequestId is
// the id of the answer's x-amz-request-id header.
inline void expect_error(const qt::Response &r, int status, const std::string &status_line,
                         const std::string &code, const std::string &message,
                         const std::string &resource) {
  EXPECT_EQ(r.status, status) << r.raw;
  std::string doc = error_doc(code, message, resource);
  EXPECT_EQ(mask(r.body), doc);
  // Whether the connection outlives the answer is the persistent-connection tests' business.
  EXPECT_EQ(mask(r.head) + "\r\n",
            error_head(status_line, r.body.size(), r.has_header("Connection")))
      << r.head;
  std::string id = r.header("x-amz-request-id");
  EXPECT_EQ(id.size(), 32u) << r.head;
  EXPECT_NE(r.body.find("<RequestId>" + id + "</RequestId>"), std::string::npos) << r.raw;
}

// Checks the answer to a HEAD that failed: the head of the error answer a GET gets, whose
// Content-Length counts the document, and nothing after it.
inline void expect_head_error(const qt::Response &r, int status, const std::string &status_line,
                              const std::string &code, const std::string &message,
                              const std::string &resource) {
  EXPECT_EQ(r.status, status) << r.raw;
  EXPECT_EQ(r.body, "") << r.raw;
  // The document names a 32-digit request id where the masked one has "ID".
  size_t doc_len = error_doc(code, message, resource).size() + 30;
  EXPECT_EQ(mask(r.head) + "\r\n", error_head(status_line, doc_len)) << r.head;
  EXPECT_EQ(r.header("x-amz-request-id").size(), 32u) << r.head;
}

// The check of an error answer to the given method.
inline void expect_error_to(const std::string &method, const qt::Response &r, int status,
                            const std::string &status_line, const std::string &code,
                            const std::string &message, const std::string &resource) {
  if (method == "HEAD")
    expect_head_error(r, status, status_line, code, message, resource);
  else
    expect_error(r, status, status_line, code, message, resource);
}

// One server for the whole test program, with the shared request steps.
using SharedServer = qt::SharedServer;

// The request counter from the statistics document, or -1 while that document is not there.
inline long long requests_count() {
  const char *json = s3_get_stats_json();
  if (!json) return -1;
  std::cmatch m;
  if (!std::regex_search(json, m, std::regex("\"requests_count\":(\\d+)"))) return -1;
  return std::atoll(m[1].str().c_str());
}

}  // namespace qa
