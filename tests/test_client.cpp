// make-release and update-client end to end: a TUF repository made and three
// releases published by the real make-release, served by a real nginx on a
// free loopback port, fetched and verified by the real update-client, and
// applied by the real updater (with its key file) to real installations.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "client/update_client.h"
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

// Releases 1.0, 2.0 and 3.0: a file goes away in each, bin/app changes a
// little from 2.0 to 3.0 but is new in 2.0, so that no partial package from
// 1.0 is worth publishing.
std::vector<std::vector<TreeFile>> releases() {
  std::string app2 = random_bytes(300000, 7), app3 = app2;
  app3.replace(150000, 20, "release 3 of the app");
  return {{{"bin/app", random_bytes(300000, 1), 0755}, {"share/doc/README", "1.0\n"}, {"share/old.txt", "old\n"}},
          {{"bin/app", app2, 0755}, {"share/doc/README", "2.0\n"}, {"share/new.txt", "new\n"}},
          {{"bin/app", app3, 0755}, {"share/doc/README", "3.0\n"}}};
}

const char* const kSigningKeys[] = {"targets-1", "snapshot-1", "timestamp-1"};

struct ClientTest : ::testing::Test {
  TempDir dir;
  std::vector<std::vector<TreeFile>> trees = releases();
  std::string base, url;
  Child nginx;

  // make-release COMMAND --out site ARGS with the keys that sign releases.
  RunResult make_release(const std::string& command, std::vector<std::string> args) {
    args.insert(args.begin(), {command, "--out", dir / "site"});
    for (const char* key : kSigningKeys) args.insert(args.end(), {"--secret-key", dir / ("keys/" + std::string(key) + ".secret")});
    return run_tool("make-release", args);
  }

  void SetUp() override {
    ASSERT_EQ(run_tool("make-release", {"init", "--out", dir / "site", "--keys", dir / "keys"}).exit_code, 0);
    const char* from[] = {nullptr, "1.0", "2.0"};
    for (int i = 0; i < 3; i++) {
      std::string v = std::to_string(i + 1) + ".0", tree = dir / ("r" + v);
      plant_tree(tree, trees[i]);
      std::vector<std::string> args = {"--release", v, "--tree", tree};
      for (int k = 0; k < i; k++) args.insert(args.end(), {"--from", std::string(from[k + 1]) + "=" + dir / ("r" + std::string(from[k + 1]))});
      RunResult r = make_release("publish", args);
      ASSERT_EQ(r.exit_code, 0) << r.err;
      if (i == 2) {
        EXPECT_NE(r.out.find("from-1.0.zav: not published, more than 7/8 of the full package"), std::string::npos) << r.out;
      } else if (i == 1) {
        ASSERT_EQ(system(("cp " + dir / "site/metadata/timestamp.json " + dir / "old-timestamp.json").c_str()), 0);
      }
    }
    ASSERT_EQ(system(("cp -a " + dir / "site " + dir / "published").c_str()), 0);
    make_dirs(dir / "updates");
    // The installation's updater, with the key that packages are signed with beside it.
    make_dirs(dir / "bin");
    ASSERT_EQ(symlink(updater_bin().c_str(), (dir / "bin/updater").c_str()), 0);
    write_file(dir / "bin/updater.pub", read_file(dir / "keys/updater.pub"));
    int port = free_port();
    base = "http://127.0.0.1:" + std::to_string(port);
    write_file(dir / "nginx/nginx.conf", "master_process off;\npid " + dir / "nginx/pid" + ";\nerror_log " + dir / "nginx/error.log" +
                                             ";\nevents {}\nhttp {\n access_log " + dir / "nginx/access.log" + ";\n server { listen 127.0.0.1:" +
                                             std::to_string(port) + "; root " + dir / "site" + ";\n  location /slow/ { alias " +
                                             dir / "site/" + "; limit_rate 100; }\n  location /whole/ { alias " +
                                             dir / "site/" + "; max_ranges 0; }\n }\n}\n");
    ASSERT_TRUE(start_program({"/usr/sbin/nginx", "-p", dir / "nginx", "-c", dir / "nginx/nginx.conf", "-g", "daemon off;"},
                              {}, dir / "nginx/out", &nginx));
    // Its pid file is written once it listens.
    ASSERT_TRUE(wait_for_text(dir / "nginx/pid", "\n") && nginx.running()) << read_file(dir / "nginx/out");
    url = base + "/metadata/";
  }

  RunResult client(const std::string& command, const std::string& version, std::vector<std::string> extra = {},
                   long long file_size_limit = -1) {
    RunOptions options;
    options.file_size_limit = file_size_limit;
    std::vector<std::string> args = {command, url, version, dir / "updates", "--root", dir / "site/metadata/1.root.json"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_tool("update-client", args, options);
  }
  RunResult fetch(const std::string& version, std::vector<std::string> extra = {}) { return client("fetch", version, extra); }

  // Applies what is staged to the installation and waits for the run's end
  // (its status comes before Finish deletes the backups).
  std::string apply(std::vector<std::string> relaunch = {}) {
    unlink((dir / "updates/update.status").c_str());
    unlink((dir / "updates/update.log").c_str());
    // The updater waits for the application, update-client's parent: a shell
    // that ends as soon as apply returns stands in for it, with a socket and
    // a file of its own open.
    RunOptions options;
    options.cwd = dir / "app";
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec 7<>/dev/null 8</dev/null; \"$@\"; exit $?", "sh",
                                     tool_bin("update-client"), "apply", dir / "updates", "--updater", dir / "bin/updater"};
    argv.insert(argv.end(), relaunch.begin(), relaunch.end());
    RunResult r = run_program(argv, options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    for (int i = 0; i < 3 && !wait_for_text(dir / "updates/update.log", "calling QuitProgressUI\n"); i++) continue;
    return read_file(dir / "updates/update.status");
  }

  // The installation of release `index` as the updater leaves it.
  Tree installed(int index) {
    Tree t = tree_of(trees[index]);
    t[".update-release"] = {'f', 0644, std::to_string(index + 1) + ".0\n"};
    return t;
  }
};

struct FetchCase {
  const char* name;
  int installed;                             // index of the release installed
  std::function<void(ClientTest&)> prepare;  // what happened before this fetch
  int exit_code;
  std::string says;  // part of fetch's message
  bool applied;      // else the update directory stays as it was (but for trusted metadata)
  const char* access_log_has = "";
  std::vector<std::string> options = {};
  long long file_size_limit = -1;                    // >= 0: the disk fills up at that size
  std::function<void(ClientTest&)> check = nullptr;  // what else must hold afterwards
};

void flip_byte(const std::string& path, size_t at) {
  std::string bytes = read_file(path);
  bytes[at] ^= 1;
  write_file(path, bytes);
}

// The one file under `dir` whose name ends with `suffix`.
std::string find_file(ClientTest& t, const std::string& dir, const std::string& suffix) {
  std::string out = run_program({"/bin/sh", "-c", "ls " + t.dir / dir + "/*" + suffix}).out;
  return out.substr(0, out.find('\n'));
}

void run_case(ClientTest& t, const FetchCase& c) {
  SCOPED_TRACE(c.name);
  plant_tree(t.dir / "app", t.trees[c.installed]);
  write_file(t.dir / "app/.update-release", std::to_string(c.installed + 1) + ".0\n");
  make_dirs(t.dir / "updates");
  if (c.prepare) c.prepare(t);
  Tree before = snapshot_tree(t.dir / "updates");
  RunResult r = t.client("fetch", std::to_string(c.installed + 1) + ".0", c.options, c.file_size_limit);
  EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
  EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
  EXPECT_NE(read_file(t.dir / "nginx/access.log").find(c.access_log_has), std::string::npos);
  if (c.check) c.check(t);
  if (!c.applied) {
    Tree after = snapshot_tree(t.dir / "updates");
    for (Tree* tree : {&before, &after})
      for (auto it = tree->begin(); it != tree->end();) it = it->first.compare(0, 8, "metadata") == 0 || it->first == "update.client.lock" ? tree->erase(it) : std::next(it);
    EXPECT_EQ(tree_diff(before, after), "");
    return;
  }
  EXPECT_EQ(t.apply(), "succeeded\n") << read_file(t.dir / "updates/update.log");
  EXPECT_EQ(tree_diff(t.installed(2), snapshot_tree(t.dir / "app")), "");
}

TEST_F(ClientTest, FetchesVerifiesAndApplies) {
  auto package = [](ClientTest& t) { return find_file(t, "site/targets/stable/3.0", ".from-2.0.zav"); };
  auto half = [=](ClientTest& t) { return read_file(package(t)).substr(0, read_file(package(t)).size() / 2); };
  auto part_name = [=](ClientTest& t) {
    return t.dir / ("updates/update.zav." + package(t).substr(package(t).rfind('/') + 1, 16) + ".part");
  };
  auto broken_download = [=](ClientTest& t) { write_file(part_name(t), half(t)); };
  // A link planted at the download's name, to a file outside that must stay as it is.
  auto planted_link = [=](ClientTest& t) {
    write_file(t.dir / "outside", "outside");
    ASSERT_EQ(symlink((t.dir / "outside").c_str(), part_name(t).c_str()), 0);
  };
  auto outside_kept = [](ClientTest& t) { EXPECT_EQ(read_file(t.dir / "outside"), "outside"); };
  // A locally changed file: the partial fails with 4, the next fetch heals it.
  auto failed_partial = [](ClientTest& t) {
    flip_byte(t.dir / "app/bin/app", 5000);
    ASSERT_EQ(t.fetch("2.0").exit_code, 0);
    ASSERT_EQ(t.apply(), "failed: 4\n");
  };
  auto tamper_package = [=](ClientTest& t) { flip_byte(package(t), 100); };
  // A mirror that serves the timestamp of release 2.0 again, to a client that saw 3.0.
  auto replay = [](ClientTest& t) {
    ASSERT_EQ(t.client("check", "2.0").exit_code, 0);
    write_file(t.dir / "site/metadata/timestamp.json", read_file(t.dir / "old-timestamp.json"));
  };
  // Whoever stole the timestamp key signed timestamps far ahead; the site
  // then rotates the key, and its next timestamp has a lower version.
  auto fast_forward = [](ClientTest& t) {
    for (int i = 0; i < 3; i++) ASSERT_EQ(t.make_release("timestamp", {}).exit_code, 0);
    ASSERT_EQ(t.client("check", "2.0").exit_code, 0);
    ASSERT_EQ(system(("rm -rf " + t.dir / "site && cp -a " + t.dir / "published " + t.dir / "site").c_str()), 0);
    RunResult r = t.make_release("rotate", {"--role", "timestamp", "--keys", t.dir / "keys", "--secret-key", t.dir / "keys/root-1.secret"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  };
  // The root key is replaced twice, the first one deleted after the first time.
  auto root_rotation = [](ClientTest& t) {
    for (const char* key : {"root-1", "root-2"}) {
      RunResult r = t.make_release("rotate", {"--role", "root", "--keys", t.dir / "keys", "--secret-key", t.dir / ("keys/" + std::string(key) + ".secret")});
      ASSERT_EQ(r.exit_code, 0) << r.err;
      unlink((t.dir / ("keys/" + std::string(key) + ".secret")).c_str());
    }
  };
  auto trusts_root_3 = [](ClientTest& t) {
    EXPECT_EQ(read_file(t.dir / "updates/metadata/root.json"), read_file(t.dir / "site/metadata/3.root.json"));
  };
  // A directory where the record of the staged release goes.
  auto unrecordable = [](ClientTest& t) { make_dirs(t.dir / "updates/update.staged"); };
  auto slow_server = [](ClientTest& t) { t.url = t.base + "/slow/metadata/"; };
  // A server that answers a range request with the whole file (200).
  auto no_ranges = [=](ClientTest& t) {
    broken_download(t);
    t.url = t.base + "/whole/metadata/";
  };
  auto with_query = [](ClientTest& t) { t.url = t.base + "/metadata/?from=app#top"; };
  auto resolved_url = [](ClientTest& t) { t.url = t.base + "/metadata/"; };
  std::string in_three_days = std::to_string(time(nullptr) + 3 * 86400);
  const FetchCase cases[] = {
      {"partial", 1, nullptr, 0, "3.0: partial package from 2.0", true},
      {"two releases behind", 0, nullptr, 0, "3.0: full package", true},
      {"resumed", 1, broken_download, 0, "partial package from 2.0", true, "\" 206 "},
      {"resumed where ranges are not served", 1, no_ranges, 0, "partial package from 2.0", true, "", {}, -1, resolved_url},
      {"planted link", 1, planted_link, 0, "partial package from 2.0", true, "", {}, -1, outside_kept},
      {"failed partial", 1, failed_partial, 0, "3.0: full package", true},
      {"query in the URL", 1, with_query, 0, "partial package from 2.0", true, "timestamp.json?from=app", {}, -1, resolved_url},
      {"staged, not recorded", 1, unrecordable, 0, "downloaded) into " + dir / "updates/update.zav; but cannot write update.staged", true},
      {"full disk", 0, nullptr, 5, "cannot write the download: File too large", false, "", {}, 100000},
      {"changed package", 1, tamper_package, 4, "not the sha256 listed", false},
      {"frozen timestamp", 1, nullptr, 4, "timestamp.json expired", false, "", {"--time", in_three_days}},
      {"replayed timestamp", 1, replay, 4, "older than the trusted", false},
      {"fast-forward recovery", 1, fast_forward, 0, "partial package from 2.0", true},
      {"root rotated twice", 1, root_rotation, 0, "partial package from 2.0", true, "\"GET /metadata/4.root.json HTTP/1.1\" 404", {}, -1, trusts_root_3},
      {"slow server", 1, slow_server, 3, "within the deadline of 2 seconds", false, "", {"--deadline", "2"}, -1, resolved_url},
  };
  for (const FetchCase& c : cases) {
    run_case(*this, c);
    // The next case starts from the published site, without installation or update directory.
    ASSERT_EQ(system(("rm -rf " + dir / "app " + dir / "updates " + dir / "site && cp -a " + dir / "published " +
                      dir / "site").c_str()), 0);
  }
}

// Drops the package of `target` with its signature as the targets list it
// into the update directory of an installation of `installed`, and applies it.
// The signature may be another target's (`signed_as`).
std::string drop_and_apply(ClientTest& t, const std::string& target, int tree, const std::string& installed,
                           std::string signed_as = "") {
  SCOPED_TRACE(target);
  run_program({"/bin/rm", "-rf", t.dir / "app"});
  plant_tree(t.dir / "app", t.trees[tree]);
  write_file(t.dir / "app/.update-release", installed + "\n");
  EXPECT_EQ(t.client("check", "1.0").exit_code, 0);
  std::string name = target.substr(target.rfind('/') + 1);
  write_file(t.dir / "updates/update.zav", read_file(find_file(t, "site/targets/" + target.substr(0, target.rfind('/')), "." + name)));
  std::string targets = read_file(t.dir / "updates/metadata/targets.json");
  std::string sig = targets.substr(targets.find("zav-release-signature", targets.find("\"" + (signed_as.empty() ? target : signed_as) + "\"")));
  sig = sig.substr(0, sig.find('"'));
  for (size_t at; (at = sig.find("\\n")) != std::string::npos;) sig.replace(at, 2, "\n");
  write_file(t.dir / "updates/update.zav.sig", sig);
  std::string status = t.apply();
  Tree expected = tree_of(t.trees[tree]);
  expected[".update-release"] = {'f', 0644, installed + "\n"};
  EXPECT_EQ(tree_diff(expected, snapshot_tree(t.dir / "app")), "");
  return status + read_file(t.dir / "updates/update.log");
}

TEST_F(ClientTest, UpdaterRefusesAnOlderReleaseDroppedIntoTheUpdateDirectory) {
  std::string outcome = drop_and_apply(*this, "stable/1.0/full.zav", 1, "2.0");
  EXPECT_EQ(outcome.find("failed: 9\n"), 0u) << outcome;
  EXPECT_NE(outcome.find("\nsignature verified with key 1 of " + dir / "bin/updater.pub\nthe package brings release 1.0\n"
                      "refused: the package brings release 1.0, older than the installed 2.0\n"), std::string::npos) << outcome;
  // A good statement about another package says nothing about this one.
  EXPECT_NE(drop_and_apply(*this, "stable/2.0/full.zav", 0, "1.0", "stable/3.0/full.zav").find("failed: 8\n"), std::string::npos);
  // Nor does a signature that names no release, as packages were signed before.
  run_program({"/bin/rm", "-rf", dir / "app/.update-release"});
  write_file(dir / "app/.update-release", "2.0\n");
  ASSERT_EQ(run_tool("zav", {"sign", dir / "updates/update.zav", dir / "keys/targets-1.secret"}).exit_code, 0);
  RunOptions in_app;
  in_app.cwd = dir / "app";
  run_program({dir / "bin/updater", dir / "updates", "0"}, in_app);
  outcome = read_file(dir / "updates/update.log");
  EXPECT_NE(outcome.find("refused: the package does not say which release it brings; 2.0 is installed\nfailed: 9"),
            std::string::npos) << outcome;
}

// Rollouts, a halt, a withdrawal and a critical release, at fixed moments of
// the client's clock: 4.0 critical, 5.0 rolled out to 10%, 50% and 100% of
// installations over three days that ended half a day ago.
TEST_F(ClientTest, SteersRolloutsHaltsAndWithdrawals) {
  long long day = 86400, start = time(nullptr) / day * day - 3 * day;
  trees.push_back(trees[2]);
  trees.back().push_back({"share/four", "4\n"});
  trees.push_back(trees[3]);
  trees.back().push_back({"share/five", "5\n"});
  for (int i : {3, 4}) plant_tree(dir / ("r" + std::to_string(i + 1) + ".0"), trees[i]);
  ASSERT_EQ(make_release("publish", {"--release", "4.0", "--tree", dir / "r4.0", "--critical", "--notes", "Fixes the crash."}).exit_code, 0);
  ASSERT_EQ(make_release("publish", {"--release", "5.0", "--tree", dir / "r5.0", "--from", "4.0=" + dir / "r4.0", "--steps", "10,50,100",
                                     "--interval", "1d", "--start", std::to_string(start)}).exit_code, 0);

  // The share of 2,000 installations offered 5.0 at three moments.
  update_client* c = update_client_new();
  update_client_set_metadata_url(c, url.c_str());
  update_client_set_trusted_root(c, (dir / "site/metadata/1.root.json").c_str());
  update_client_set_update_dir(c, (dir / "updates").c_str());
  update_client_set_current_version(c, "4.0");
  for (double percent : {10, 50, 100}) {
    update_client_set_time(c, start + static_cast<long long>(percent == 10 ? 0.5 * day : percent == 50 ? 1.5 * day : 2.5 * day));
    int offered = 0;
    for (int id = 0; id < 2000; id++) {
      update_client_set_installation_id(c, ("installation " + std::to_string(id)).c_str());
      ASSERT_EQ(update_client_check(c), UPDATE_CLIENT_OK) << update_client_message(c);
      offered += update_client_get_offer(c)->available;
    }
    EXPECT_NEAR(offered / 20.0, percent, 2.0);
  }
  update_client_free(c);

  std::string before = std::to_string(start - 1), after = std::to_string(start + 5 * day / 2);
  struct Step {
    const char* name;
    std::vector<std::string> make_release;  // run first, when not empty
    int installed;                          // the installation's tree; its release is installed + 1
    std::vector<std::string> options;
    const char* says;
  } steps[] = {
      {"critical during a rollout", {}, 2, {"--time", before}, "4.0 (critical): full package, "},
      {"the rollout's reason", {}, 2, {"--time", before}, "not offered: 5.0 is rolled out to 0% of installations, not yet to this one"},
      {"notes", {}, 2, {"--time", before}, "notes: Fixes the crash."},
      {"manual check", {}, 3, {"--time", before, "--manual"}, "5.0: partial package from 4.0"},
      {"halted", {"halt", "--release", "5.0"}, 3, {"--time", after, "--manual"}, "up to date\nnot offered: 5.0 is halted"},
      {"resumed", {"resume", "--release", "5.0"}, 3, {"--time", after}, "5.0: partial package from 4.0"},
      {"withdrawn", {"withdraw", "--release", "5.0", "--replacement", "4.0", "--tree", dir / "r4.0"}, 4, {"--time", after},
       "4.0: in place of the withdrawn 5.0, full package"},
      {"withdrawn, for others", {}, 3, {"--time", after}, "up to date\nnot offered: 5.0 was withdrawn"},
      {"withdrawn, older installations", {}, 2, {"--time", after}, "4.0 (critical): full package"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    if (!step.make_release.empty()) {
      RunResult r = make_release(step.make_release[0], std::vector<std::string>(step.make_release.begin() + 1, step.make_release.end()));
      ASSERT_EQ(r.exit_code, 0) << r.err;
    }
    std::string release = std::to_string(step.installed + 1) + ".0";
    RunResult r = client("check", release, step.options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(step.says), std::string::npos) << r.out;
  }
  // The installation of the withdrawn 5.0 goes back to 4.0; the same package
  // cannot take any other installation back.
  plant_tree(dir / "app", trees[4]);
  write_file(dir / "app/.update-release", "5.0\n");
  ASSERT_EQ(fetch("5.0", {"--time", after}).exit_code, 0);
  EXPECT_EQ(apply(), "succeeded\n");
  EXPECT_EQ(tree_diff(installed(3), snapshot_tree(dir / "app")), "");
  EXPECT_NE(read_file(dir / "updates/update.log").find("release 4.0 replaces the withdrawn release 5.0\n"), std::string::npos);
  EXPECT_NE(drop_and_apply(*this, "stable/5.0/to-4.0.zav", 4, "5.5").find("failed: 9\n"), std::string::npos);
}

TEST_F(ClientTest, ApplyPassesNoDescriptorOfTheApplication) {
  plant_tree(dir / "app", trees[1]);
  ASSERT_EQ(fetch("2.0").exit_code, 0);
  EXPECT_EQ(apply({dir / "app", "/bin/sh", "-c", "exec ls /proc/self/fd > " + dir / "fds"}), "succeeded\n");
  ASSERT_TRUE(wait_for_text(dir / "fds", "\n"));
  EXPECT_EQ(read_file(dir / "fds"), "0\n1\n2\n3\n");  // 3: the listing's own
}

TEST_F(ClientTest, ProgressCallbackCancels) {
  update_client* c = update_client_new();
  update_client_set_metadata_url(c, url.c_str());
  update_client_set_trusted_root(c, (dir / "site/metadata/1.root.json").c_str());
  update_client_set_update_dir(c, (dir / "updates").c_str());
  update_client_set_current_version(c, "1.0");
  update_client_set_progress(c, [](long long, long long, void*) { return 1; }, nullptr);
  EXPECT_EQ(update_client_fetch(c), UPDATE_CLIENT_ERR_CANCELLED);
  EXPECT_NE(std::string(update_client_message(c)).find("cancelled"), std::string::npos) << update_client_message(c);
  EXPECT_FALSE(exists(dir / "updates/update.zav"));
  update_client_set_progress(c, nullptr, nullptr);
  EXPECT_EQ(update_client_fetch(c), UPDATE_CLIENT_OK) << update_client_message(c);
  EXPECT_TRUE(update_client_get_offer(c)->staged);
  update_client_free(c);
}

TEST_F(ClientTest, ConcurrentRunsTakeTurns) {
  make_dirs(dir / "updates");
  plant_tree(dir / "r4.0", trees[2]);
  Child a, b;
  RunOptions options;
  auto start = [&](std::vector<std::string> argv, const std::string& out, Child* child) {
    argv.insert(argv.begin(), tool_bin(argv[0] == "publish" ? "make-release" : "update-client"));
    ASSERT_TRUE(start_program(argv, options, dir / out, child));
  };
  std::vector<std::string> keys;
  for (const char* key : kSigningKeys) keys.insert(keys.end(), {"--secret-key", dir / ("keys/" + std::string(key) + ".secret")});
  std::vector<std::string> stable = {"publish", "--out", dir / "site", "--release", "4.0", "--tree", dir / "r4.0"}, beta = stable;
  beta.insert(beta.end(), {"--channel", "beta"});
  stable.insert(stable.end(), keys.begin(), keys.end());
  beta.insert(beta.end(), keys.begin(), keys.end());
  start(stable, "a", &a);
  start(beta, "b", &b);
  EXPECT_EQ(wait_program(&a, 60), 0) << read_file(dir / "a");
  EXPECT_EQ(wait_program(&b, 60), 0) << read_file(dir / "b");
  EXPECT_NE(client("check", "3.0").out.find("4.0: full package"), std::string::npos);
  EXPECT_NE(client("check", "3.0", {"--channel", "beta"}).out.find("4.0: full package"), std::string::npos);
  std::vector<std::string> fetch = {"fetch", url, "2.0", dir / "updates", "--root", dir / "site/metadata/1.root.json"};
  start(fetch, "a", &a);
  start(fetch, "b", &b);
  EXPECT_EQ(wait_program(&a, 60), 0) << read_file(dir / "a");
  EXPECT_EQ(wait_program(&b, 60), 0) << read_file(dir / "b");
}

}  // namespace
