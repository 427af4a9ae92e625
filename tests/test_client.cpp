// make-release and update-client end to end: three releases published into a
// site that a real nginx serves on a free loopback port, fetched, verified
// and applied by the real updater to real installations.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

// A loopback port that was free a moment ago.
int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  close(fd);
  return ntohs(a.sin_port);
}

// Releases 1.0, 2.0 and 3.0: bin/app changes a little each time, a file
// goes away in each, and 3.0 has a partial package from 2.0 only.
std::vector<std::vector<TreeFile>> releases() {
  std::string app = random_bytes(300000, 7), app2 = app, app3 = app;
  app2.replace(1000, 20, "release 2 of the app");
  app3 = app2;
  app3.replace(150000, 20, "release 3 of the app");
  return {{{"bin/app", app, 0755}, {"share/doc/README", "1.0\n"}, {"share/old.txt", "old\n"}},
          {{"bin/app", app2, 0755}, {"share/doc/README", "2.0\n"}, {"share/new.txt", "new\n"}},
          {{"bin/app", app3, 0755}, {"share/doc/README", "3.0\n"}, {"lib/plugin.so", random_bytes(20000, 9)}}};
}

struct ClientTest : ::testing::Test {
  TempDir dir;
  std::vector<std::vector<TreeFile>> trees = releases();
  std::string url;
  Child nginx;

  void SetUp() override {
    ASSERT_EQ(run_tool("zav", {"keygen", dir / "k.secret", dir / "k.pub"}).exit_code, 0);
    const char* from[] = {nullptr, "1.0", "2.0"};
    for (int i = 0; i < 3; i++) {
      std::string v = std::to_string(i + 1) + ".0", tree = dir / ("r" + v);
      plant_tree(tree, trees[i]);
      std::vector<std::string> args = {"--out", dir / "site", "--version", v, "--tree", tree, "--key", dir / "k.secret"};
      if (from[i] != nullptr) args.insert(args.end(), {"--from", std::string(from[i]) + "=" + dir / ("r" + std::string(from[i]))});
      RunResult r = run_tool("make-release", args);
      ASSERT_EQ(r.exit_code, 0) << r.err;
      if (i == 1) {  // kept to be replayed
        write_file(dir / "old.json", read_file(dir / "site/stable.json"));
        write_file(dir / "old.json.sig", read_file(dir / "site/stable.json.sig"));
      }
    }
    ASSERT_EQ(system(("cp -a " + dir / "site " + dir / "published").c_str()), 0);
    int port = free_port();
    write_file(dir / "nginx/nginx.conf", "master_process off;\npid " + dir / "nginx/pid" + ";\nerror_log " +
                                             dir / "nginx/error.log" + ";\nevents {}\nhttp {\n access_log " +
                                             dir / "nginx/access.log" + ";\n server { listen 127.0.0.1:" +
                                             std::to_string(port) + "; root " + dir / "site" + "; }\n}\n");
    ASSERT_TRUE(start_program({"/usr/sbin/nginx", "-p", dir / "nginx", "-c", dir / "nginx/nginx.conf", "-g", "daemon off;"},
                              {}, dir / "nginx/out", &nginx));
    // Its pid file is written once it listens.
    ASSERT_TRUE(wait_for_text(dir / "nginx/pid", "\n") && nginx.running()) << read_file(dir / "nginx/out");
    url = "http://127.0.0.1:" + std::to_string(port) + "/stable.json";
  }

  RunResult fetch(const std::string& version, long long file_size_limit = -1) {
    RunOptions options;
    options.file_size_limit = file_size_limit;
    return run_tool("update-client", {"fetch", url, version, dir / "updates", "--key", dir / "k.pub"}, options);
  }

  // Applies what is staged to the installation and waits for the run's end
  // (its status comes before Finish deletes the backups).
  std::string apply() {
    unlink((dir / "updates/update.status").c_str());
    unlink((dir / "updates/update.log").c_str());
    // The updater waits for the application, update-client's parent: a shell
    // that ends as soon as apply returns stands in for it.
    RunOptions options;
    options.cwd = dir / "app";
    RunResult r = run_program({"/bin/sh", "-c", "\"$@\"; exit $?", "sh", tool_bin("update-client"), "apply",
                               dir / "updates", "--updater", updater_bin()}, options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    for (int i = 0; i < 3 && !wait_for_text(dir / "updates/update.log", "calling QuitProgressUI\n"); i++) continue;
    return read_file(dir / "updates/update.status");
  }
};

struct FetchCase {
  const char* name;
  int installed;                             // index of the release installed
  std::function<void(ClientTest&)> prepare;  // what happened before this fetch
  int exit_code;
  const char* says;  // part of fetch's message
  bool applied;      // else the update directory stays as it was
  const char* access_log_has = "";
  long long file_size_limit = -1;                    // >= 0: the disk fills up at that size
  std::function<void(ClientTest&)> check = nullptr;  // what else must hold afterwards
};

void flip_byte(const std::string& path, size_t at) {
  std::string bytes = read_file(path);
  bytes[at] ^= 1;
  write_file(path, bytes);
}

void run_case(ClientTest& t, const FetchCase& c) {
  SCOPED_TRACE(c.name);
  plant_tree(t.dir / "app", t.trees[c.installed]);
  make_dirs(t.dir / "updates");
  if (c.prepare) c.prepare(t);
  Tree before = snapshot_tree(t.dir / "updates");
  RunResult r = t.fetch(std::to_string(c.installed + 1) + ".0", c.file_size_limit);
  EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
  EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
  EXPECT_NE(read_file(t.dir / "nginx/access.log").find(c.access_log_has), std::string::npos);
  if (c.check) c.check(t);
  if (!c.applied) {
    EXPECT_EQ(tree_diff(before, snapshot_tree(t.dir / "updates")), "");
    return;
  }
  EXPECT_EQ(t.apply(), "succeeded\n") << read_file(t.dir / "updates/update.log");
  EXPECT_EQ(tree_diff(tree_of(t.trees[2]), snapshot_tree(t.dir / "app")), "");
}

TEST_F(ClientTest, FetchesVerifiesAndApplies) {
  const char* kPackage = "site/stable/3.0/from-2.0.zav";
  auto tamper_package = [=](ClientTest& t) { flip_byte(t.dir / kPackage, 100); };
  auto remove_package = [=](ClientTest& t) { unlink((t.dir / kPackage).c_str()); };
  auto grow_package = [=](ClientTest& t) { write_file(t.dir / kPackage, read_file(t.dir / kPackage) + "more"); };
  auto swap_signature = [=](ClientTest& t) {
    write_file(t.dir / kPackage + ".sig", read_file(t.dir / "site/stable/3.0/full.zav.sig"));
  };
  auto tamper_feed = [](ClientTest& t) {
    std::string feed = read_file(t.dir / "site/stable.json");
    write_file(t.dir / "site/stable.json", feed.replace(feed.find("\"size\": "), 8, "\"size\":  "));
  };
  auto replay_feed = [](ClientTest& t) {
    ASSERT_EQ(t.fetch("2.0").exit_code, 0);
    write_file(t.dir / "site/stable.json", read_file(t.dir / "old.json"));
    write_file(t.dir / "site/stable.json.sig", read_file(t.dir / "old.json.sig"));
  };
  // Half of the partial package, as a download that broke off leaves it; then
  // the same as a hard link to a file outside that must stay as it is.
  auto half = [=](ClientTest& t) { return read_file(t.dir / kPackage).substr(0, read_file(t.dir / kPackage).size() / 2); };
  auto part_name = [=](ClientTest& t) {
    return t.dir / ("updates/update.zav." + run_program({"/usr/bin/sha256sum", t.dir / kPackage}).out.substr(0, 16) + ".part");
  };
  auto broken_download = [&](ClientTest& t) { write_file(part_name(t), half(t)); };
  auto planted_link = [&](ClientTest& t) {
    broken_download(t);
    ASSERT_EQ(link(part_name(t).c_str(), (t.dir / "outside").c_str()), 0);
  };
  auto outside_kept = [&](ClientTest& t) { EXPECT_EQ(read_file(t.dir / "outside"), half(t)); };
  // A locally changed file: the partial fails with 4, the next fetch heals it.
  auto failed_partial = [](ClientTest& t) {
    flip_byte(t.dir / "app/bin/app", 5000);
    ASSERT_EQ(t.fetch("2.0").exit_code, 0);
    ASSERT_EQ(t.apply(), "failed: 4\n");
  };
  const FetchCase cases[] = {
      {"partial", 1, nullptr, 0, "partial package from 2.0", true},
      {"two releases behind", 0, nullptr, 0, "3.0: full package", true},
      {"resumed", 1, broken_download, 0, "partial package from 2.0", true, "\" 206 "},
      {"planted link", 1, planted_link, 0, "partial package from 2.0", true, "", -1, outside_kept},
      {"failed partial", 1, failed_partial, 0, "3.0: full package", true},
      {"full disk", 1, nullptr, 1, "cannot write the download: File too large", false, "", 3000},
      {"missing package", 1, remove_package, 1, "404", false},
      {"oversized package", 1, grow_package, 1, "more than the", false},
      {"changed package", 1, tamper_package, 1, "SHA-256 is not the one the feed lists", false},
      {"swapped signature", 1, swap_signature, 1, "bad signature: no key accepts the package", false},
      {"changed feed", 1, tamper_feed, 1, "bad signature: no key accepts the feed", false},
      {"replayed feed", 1, replay_feed, 1, "is older than the last one accepted", false},
  };
  for (const FetchCase& c : cases) {
    run_case(*this, c);
    // The next case starts from the published site, without installation or update directory.
    ASSERT_EQ(system(("rm -rf " + dir / "app " + dir / "updates " + dir / "site && cp -a " + dir / "published " +
                      dir / "site").c_str()), 0);
  }
}

TEST_F(ClientTest, ChecksWhatFetchWouldDownload) {
  struct {
    std::string feed, version;
    int exit_code;
    const char* says;
  } cases[] = {
      {url, "1.0", 0, "3.0: full package, "},
      {url, "2.0", 0, "3.0: partial package from 2.0, "},
      {url, "3.0", 0, "up to date"},
      {url, "3.0.1", 0, "up to date"},
      {url.substr(0, url.rfind('/')) + "/beta.json", "1.0", 1, "404"},
      {url, "one", 2, "dotted numbers"},
  };
  RunResult older =
      run_tool("make-release", {"--out", dir / "site", "--version", "2.10", "--tree", dir / "r3.0", "--key", dir / "k.secret"});
  EXPECT_EQ(older.exit_code, 1);
  EXPECT_NE(older.err.find("2.10 is not newer than 3.0"), std::string::npos) << older.err;
  EXPECT_EQ(tree_diff(snapshot_tree(dir / "published"), snapshot_tree(dir / "site")), "");
  for (const auto& c : cases) {
    RunResult r = run_tool("update-client", {"check", c.feed, c.version, "--key", dir / "k.pub"});
    EXPECT_EQ(r.exit_code, c.exit_code) << c.version << r.err;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
  }
}

}  // namespace
