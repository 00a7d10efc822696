// The start-up check of a storage root on a shared file system: which mounts are refused, and
// that each refusal names the option that is missing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "scratch.h"
#include "store/root_check.h"

namespace {

plat_mount mount_of(const char *type, const char *point, const char *options) {
  plat_mount m;
  memset(&m, 0, sizeof m);
  snprintf(m.fstype, sizeof m.fstype, "%s", type);
  snprintf(m.mount_point, sizeof m.mount_point, "%s", point);
  snprintf(m.options, sizeof m.options, "%s", options);
  return m;
}

// "" when the mount passes, else the refusal's text.
std::string verdict(const plat_mount &m) {
  char msg[1024] = "";
  return root_check_settings("/srv/s3", &m, msg, sizeof msg) == 0 ? "" : msg;
}

struct RootCheck : ut::Scratch {};

}  // namespace

TEST_F(RootCheck, NfsNeedsVersion41HardNoLookupCacheNoAttributeCacheAndForwardedLocks) {
  const std::string good = "rw,relatime,vers=4.2,rsize=1048576,hard,proto=tcp,lookupcache=none,"
                           "acregmin=0,acregmax=0,acdirmin=0,acdirmax=0,local_lock=none";
  struct {
    const char *options;
    const char *missing;  // nullptr: passes
  } cases[] = {
      {good.c_str(), nullptr},
      {"vers=4.1,hard,lookupcache=none,noac,local_lock=none", nullptr},
      {"vers=4.0,hard,lookupcache=none,noac", "vers=4.1"},
      {"vers=3,hard,lookupcache=none,noac", "vers=4.1"},
      {"hard,lookupcache=none,noac", "vers=4.1"},
      {"vers=4.2,soft,lookupcache=none,noac", "hard"},
      {"vers=4.2,hard,lookupcache=positive,noac", "lookupcache=none"},
      {"vers=4.2,hard,lookupcache=none,acregmin=0,acregmax=60,acdirmin=0,acdirmax=0", "actimeo=0"},
      {"vers=4.2,hard,lookupcache=none", "actimeo=0"},
      {"vers=4.2,hard,lookupcache=none,noac,nolock", "local_lock=none"},
      {"vers=4.2,hard,lookupcache=none,noac,local_lock=flock", "local_lock=none"},
      {"vers=4.2,hardly,lookupcache=none,noac", "hard"},  // whole items only
  };
  for (const auto &c : cases) {
    std::string v = verdict(mount_of("nfs4", "/srv", c.options));
    if (!c.missing) {
      EXPECT_EQ(v, "") << c.options;
    } else {
      EXPECT_EQ(v, std::string("storage root /srv/s3 is on NFS without the mount option ") + c.missing)
          << c.options;
    }
  }
  EXPECT_EQ(verdict(mount_of("ext4", "/", "rw,relatime")), "");
}

// The GlusterFS client describes itself in the virtual folder .meta at the root of its mount; a
// folder shaped like it stands in for a real mount here.
TEST_F(RootCheck, GlusterfsNeedsZeroTimeoutsAndNoCachingTranslators) {
  const std::string mp = root;
  const plat_mount m = mount_of("fuse.glusterfs", mp.c_str(), "rw,user_id=0,allow_other");
  EXPECT_NE(verdict(m).find("its client settings cannot be read at " + mp + "/.meta"), std::string::npos);

  const std::string all = "{\n  \"Cmdlinestr\": \"/usr/sbin/glusterfs --attribute-timeout=0 "
                          "--entry-timeout=0 --negative-timeout=0 --volfile-id=/qv /mnt\"\n}";
  ut::write_file(mp + "/.meta/cmdline", all);
  for (const char *xl : {"qv", "qv-client-0", "qv-dht", "qv-io-threads", "qv-utime", "meta-autoload"})
    ut::write_file(mp + "/.meta/graphs/active/" + xl + "/type", "x");
  EXPECT_EQ(verdict(m), "");

  struct {
    const char *cmdline;
    const char *missing;
  } timeouts[] = {
      {"/usr/sbin/glusterfs --entry-timeout=0 --negative-timeout=0 /mnt", "attribute-timeout=0"},
      {"/usr/sbin/glusterfs --attribute-timeout=0 --negative-timeout=0 /mnt", "entry-timeout=0"},
      {"/usr/sbin/glusterfs --attribute-timeout=0 --entry-timeout=0 /mnt", "negative-timeout=0"},
      {"/usr/sbin/glusterfs --attribute-timeout=00 --entry-timeout=0 --negative-timeout=0 /mnt",
       "attribute-timeout=0"},
      {"/usr/sbin/glusterfs --attribute-timeout=0.5 --entry-timeout=0 --negative-timeout=0 /mnt",
       "attribute-timeout=0"},
  };
  for (const auto &t : timeouts) {
    ut::write_file(mp + "/.meta/cmdline", t.cmdline);
    EXPECT_EQ(verdict(m), std::string("storage root /srv/s3 is on GlusterFS without the mount option ") + t.missing)
        << t.cmdline;
  }
  ut::write_file(mp + "/.meta/cmdline", all);

  struct {
    const char *translator;
    const char *option;
  } caches[] = {{"qv-write-behind", "performance.write-behind"},
                {"qv-md-cache", "performance.stat-prefetch"},
                {"qv-readdir-ahead", "performance.readdir-ahead"},
                {"qv-read-ahead", "performance.read-ahead"},
                {"qv-open-behind", "performance.open-behind"},
                {"qv-quick-read", "performance.quick-read"},
                {"qv-io-cache", "performance.io-cache"},
                {"qv-nl-cache", "performance.nl-cache"}};
  for (const auto &c : caches) {
    const std::string dir = mp + "/.meta/graphs/active/" + c.translator;
    ut::write_file(dir + "/type", "x");
    EXPECT_EQ(verdict(m), std::string("storage root /srv/s3 is on GlusterFS with the volume option ") +
                              c.option + " on (set it off)");
    plat_unlink((dir + "/type").c_str(), nullptr);
    plat_rmdir(dir.c_str());
  }
  EXPECT_EQ(verdict(m), "");
}
