// The host JSON functions in a process that has never started the server: no storage root yet,
// so the listings are empty and never look at "/" (this file must start nothing).
#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "json_check.h"

namespace {

TEST(JsonBeforeFirstStart, AnswersAreEmptyAndValid) {
  std::string stats = s3_get_stats_json();
  EXPECT_EQ(stats,
            "{\"running\":0,\"port\":0,\"bind_addr\":\"127.0.0.1\",\"storage_root\":\"\","
            "\"total_buckets\":0,\"total_objects\":0,\"storage_used_bytes\":0,"
            "\"requests_count\":0,\"bytes_served\":0,\"bytes_uploaded\":0,"
            "\"connections_count\":0,\"requests_on_reused_connections\":0,"
            "\"most_requests_per_connection\":0}");
  EXPECT_EQ(qt::json_eval(stats), "ok");

  EXPECT_STREQ(s3_list_buckets_json(), "{\"buckets\":[],\"count\":0}");

  // "etc" would be /etc if the empty root were used as it stands.
  std::string objects = s3_list_objects_json("etc");
  EXPECT_EQ(objects, "{\"objects\":[],\"bucket\":\"etc\",\"count\":0,\"total_bytes\":0}");
  EXPECT_EQ(qt::json_eval(objects), "ok");
  EXPECT_STREQ(s3_list_objects_json(".."),
               "{\"bucket\":\"\",\"objects\":[],\"count\":0,\"error\":\"no bucket\"}");
}

}  // namespace
