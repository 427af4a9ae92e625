// Signed packages: with a key file beside the updater, update.zav.sig is
// checked before the package is read, and only what was checked is read.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

struct Keys {
  TempDir dir;
  std::string a, b;  // public key lines
  Keys() {
    for (const char* k : {"a", "b"}) {
      EXPECT_EQ(run_tool("zav", {"keygen", dir / (std::string(k) + ".secret"), dir / (std::string(k) + ".pub")})
                    .exit_code, 0);
    }
    a = read_file(dir / "a.pub");
    b = read_file(dir / "b.pub");
  }
  void sign(const std::string& package, const char* key, const std::vector<std::string>& release = {}) const {
    std::vector<std::string> args = {"sign", package, dir / (std::string(key) + ".secret")};
    args.insert(args.end(), release.begin(), release.end());
    RunResult r = run_tool("zav", args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
  }
};

TEST(Signature, RunsOnlyWhatAListedKeySigned) {
  const Keys keys;
  const std::vector<TreeFile> app = {{"bin/app", "app 1", 0755}};
  // Each row: the key file, the signing key (none: unsigned), a change made
  // after signing, and the log.
  auto row = [&](const char* name, std::function<void(const Paths&)> keyfile, const char* key,
                 std::function<void(const Paths&)> after, const std::string& log) {
    bool good = log.back() == 'd';  // "succeeded"
    return ActionCase{name, app, "add \"bin/app\"\n", {{"bin/app", "app 2", 0755}}, log,
                      good ? std::vector<TreeFile>{{"bin/app", "app 2", 0755}} : app, {},
                      [=, &keys](const Paths& p) {
                        if (keyfile) keyfile(p);
                        if (key != nullptr) keys.sign(p.updates + "/update.zav", key);
                        if (after) after(p);
                      },
                      // A refused package is not even opened for its manifest.
                      [good](const Paths& p) { EXPECT_EQ(exists(p.updates + "/update.manifest"), good); }};
  };
  auto key = [](std::string text) { return [text](const Paths& p) { write_file(p.key_file, text); }; };
  auto sig = [](std::function<std::string(std::string)> edit) {
    return [edit](const Paths& p) {
      write_file(p.updates + "/update.zav.sig", edit(read_file(p.updates + "/update.zav.sig")));
    };
  };
  const std::string ok = "PREPARE ADD bin/app|EXECUTE ADD bin/app|FINISH ADD bin/app|succeeded";
  const std::string refused = "bad signature: no key in $K accepts the package|failed: 8";
  std::vector<ActionCase> cases = {
      row("valid", key(keys.a), "a", nullptr, "signature verified with key 1 of $K|" + ok),
      // Signed as before packages named their release: it may be any old
      // release's, so an installation that knows its own refuses it.
      {"no release named", {{"bin/app", "app 1", 0755}, {".update-release", "9.0\n"}}, "add \"bin/app\"\n",
       {{"bin/app", "app 2", 0755}},
       "signature verified with key 1 of $K|refused: the package does not say which release it brings; 9.0 is "
       "installed|failed: 9",
       {{"bin/app", "app 1", 0755}, {".update-release", "9.0\n"}}, {},
       [&](const Paths& p) {
         key(keys.a)(p);
         keys.sign(p.updates + "/update.zav", "a");
       }},
      {"a release named by zav sign", {{"bin/app", "app 1", 0755}, {".update-release", "9.0\n"}}, "add \"bin/app\"\n",
       {{"bin/app", "app 2", 0755}},
       "signature verified with key 1 of $K|the package brings release 9.1|" + ok,
       {{"bin/app", "app 2", 0755}, {".update-release", "9.1\n"}}, {},
       [&](const Paths& p) {
         key(keys.a)(p);
         keys.sign(p.updates + "/update.zav", "a", {"--release", "9.1"});
       }},
      row("statement cut short", key(keys.a), "a", sig([](std::string) { return "zav-release-signature 1\nrelease 1.0\n"; }),
          "malformed signature $U/update.zav.sig: 36 bytes|failed: 8"),
      row("second key", key("# old\n" + keys.a + "\n  # new\r\n" + keys.b), "b", nullptr,
          "signature verified with key 2 of $K|" + ok),
      row("blanks and CRLF", key(" \t" + keys.a.substr(0, 64) + " \r\n\n"), "a", nullptr,
          "signature verified with key 1 of $K|" + ok),
      row("unlisted key", key(keys.a), "b", nullptr, refused),
      row("byte flipped", key(keys.a), "a",
          [](const Paths& p) {
            std::string bytes = read_file(p.updates + "/update.zav");
            bytes[12] ^= 1;
            write_file(p.updates + "/update.zav", bytes);
          }, refused),
      row("byte appended", key(keys.a), "a",
          [](const Paths& p) { write_file(p.updates + "/update.zav", read_file(p.updates + "/update.zav") + "x"); },
          refused),
      row("no signature", key(keys.a), nullptr, nullptr, "missing signature $U/update.zav.sig|failed: 6"),
      row("signature a directory", key(keys.a), nullptr,
          [](const Paths& p) { make_dirs(p.updates + "/update.zav.sig"); },
          "cannot read signature $U/update.zav.sig: 21|failed: 6"),
      row("signature a pipe", key(keys.a), nullptr,
          [](const Paths& p) { mkfifo((p.updates + "/update.zav.sig").c_str(), 0644); },
          "malformed signature $U/update.zav.sig: 0 bytes|failed: 8"),
      row("package a pipe", key(keys.a), "a",
          [](const Paths& p) {
            unlink((p.updates + "/update.zav").c_str());
            mkfifo((p.updates + "/update.zav").c_str(), 0644);
          }, "package is not a regular file: $U/update.zav|failed: 6"),
      row("signature short", key(keys.a), "a", sig([](std::string s) { return s.substr(0, 63); }),
          "malformed signature $U/update.zav.sig: 63 bytes|failed: 8"),
      row("signature long", key(keys.a), "a", sig([](std::string s) { return s + "\n"; }),
          "malformed signature $U/update.zav.sig: 65 bytes|failed: 8"),
      row("empty key file", key(""), "a", nullptr, "no key in key file $K|failed: 8"),
      row("comments only", key("# keys go here\n\n"), "a", nullptr, "no key in key file $K|failed: 8"),
      row("line not a key", key(keys.a + keys.b.substr(0, 62) + "\n"), "a", nullptr,
          "malformed key on line 2 of $K|failed: 8"),
      row("key file a directory", [](const Paths& p) { make_dirs(p.key_file); }, "a", nullptr,
          "cannot read key file $K: 21|failed: 6"),
      row("key file a pipe", [](const Paths& p) { mkfifo(p.key_file.c_str(), 0644); }, "a", nullptr,
          "no key in key file $K|failed: 8"),
      row("key file a link to nothing", [](const Paths& p) { EXPECT_EQ(symlink("gone", p.key_file.c_str()), 0); },
          "a", nullptr, "cannot read key file $K: 2|failed: 6"),
      row("no package", key(keys.a), nullptr, [](const Paths& p) { unlink((p.updates + "/update.zav").c_str()); },
          "failed: 6"),
      row("no key file: nothing checked", nullptr, nullptr,
          [](const Paths& p) { write_file(p.updates + "/update.zav.sig", "garbage"); }, ok),
  };
  // A marker that cannot be written is not left naming the old release.
  cases.push_back(cases[2]);
  cases.back().name = "release marker not written";
  cases.back().log = "signature verified with key 1 of $K|the package brings release 9.1|PREPARE ADD bin/app|EXECUTE ADD "
                     "bin/app|cannot record the installed release in .update-release: 28|FINISH ADD bin/app|succeeded";
  cases.back().after = {{"bin/app", "app 2", 0755}};
  cases.back().options.env = fault_shim_env({"FAULT_PATH=*.update-release.tmp", "FAULT_WRITE_AT=1", "FAULT_WRITE_ERRNO=28"});
  cases.push_back(row("package unreadable", key(keys.a), "a", nullptr,
                      "cannot read package to check its signature: 5|failed: 6"));
  cases.back().options.env = fault_shim_env({"FAULT_PATH=*/update.zav", "FAULT_READ_AT=1", "FAULT_READ_ERRNO=5"});
  // The private copy is an unnamed file made in the update directory.
  cases.push_back(row("disk full for the package's copy", key(keys.a), "a", nullptr,
                      "cannot copy package to check its signature: 28|failed: 7"));
  cases.back().options.env = fault_shim_env({"FAULT_PATH=*/updates", "FAULT_WRITE_AT=1", "FAULT_WRITE_ERRNO=28"});
  if (unprivileged_uid() != 0) {
    cases.push_back(row("unreadable key file", [&](const Paths& p) { write_file(p.key_file, keys.a, 0); }, "a",
                        nullptr, "cannot read key file $K: 13|failed: 6"));
    cases.back().options.uid = unprivileged_uid();
  }
  check_action_cases(cases);
}

// Signed packages may keep set-user-ID bits; the key is found beside the
// program a link starts; and a manifest or patch renamed over the one the run
// wrote, the moment it is closed, is never read (a reopen by name is held
// until the racer has won; a run that reads back through its descriptors is
// never held).
TEST(Signature, WhatWasVerifiedIsWhatIsRead) {
  const Keys keys;
  auto sign = [&keys](Paths& p) {
    write_file(p.key_file, keys.a);
    keys.sign(p.updates + "/update.zav", "a");
  };
  std::vector<ActionCase> cases = {
      {"set-user-ID bits of a signed package", {}, "add \"tool\"\n", {{"tool", "#!/bin/sh\n", 04755}},
       "signature verified with key 1 of $K|PREPARE ADD tool|EXECUTE ADD tool|FINISH ADD tool|succeeded",
       {{"tool", "#!/bin/sh\n", 04755}}, {}, sign},
      {"the key beside the program started through a link", {{"a", "a1"}}, "add \"new\"\n", {{"new", "new"}},
       "missing signature $U/update.zav.sig|failed: 6", {{"a", "a1"}}, {}, [&keys](Paths& p) {
         unlink(p.program.c_str());
         run_program({"/bin/cp", updater_bin(), p.program});
         write_file(p.key_file, keys.a);
         make_dirs(p.root + "/link");
         EXPECT_EQ(symlink("../bin/updater", (p.root + "/link/upd").c_str()), 0);
         p.program = p.root + "/link/upd";
       }},
  };
  // Held after the check, as it creates the manifest, the package is rewritten
  // in place with an unsigned one: the run reads what it checked.
  const std::string noise = random_bytes(300000, 7);  // larger than any read buffer
  cases.push_back({"package rewritten in place after the check", {}, "add \"data\"\n", {{"data", "good"}, {"noise", noise}},
                   "signature verified with key 1 of $K|PREPARE ADD data|EXECUTE ADD data|FINISH ADD data|succeeded",
                   {{"data", "good"}}, {}, [=](Paths& p) {
                     sign(p);
                     make_update(p.root + "/evil", "add \"data\"\n", {{"data", "evil"}, {"noise", noise}});
                   },
                   nullptr, [](Paths& p) {
                     ASSERT_TRUE(wait_for_text(p.updates + "/update.log", "signature verified"));
                     std::string evil = read_file(p.root + "/evil/update.zav");
                     FILE* f = fopen((p.updates + "/update.zav").c_str(), "r+");
                     ASSERT_NE(f, nullptr);
                     fwrite(evil.data(), 1, evil.size(), f);
                     fclose(f);
                     ASSERT_EQ(truncate((p.updates + "/update.zav").c_str(), static_cast<off_t>(evil.size())), 0);
                     write_file(p.updates + "/update.manifest.go", "");
                   }});
  cases.back().options.env = fault_shim_env({"FAULT_HOLD_PATH=*/update.manifest"});
  for (auto hold : {std::vector<std::string>{}, fault_shim_env({"FAULT_HOLD_PATH=*/update.manifest:*/0.patch",
                                                                 "FAULT_HOLD_READS=1"})}) {
    auto racer = std::make_shared<Child>();
    cases.push_back({"manifest and patch renamed over on close-after-write", {{"a", "a1"}, {"keep", "keep"}},
                     "add \"new\"\npatch \"p\" \"a\"\n", {{"new", "new"}, {"p", make_patch("a1", "a2")}},
                     "signature verified with key 1 of $K|PREPARE ADD new|PREPARE PATCH a|EXECUTE ADD new|"
                     "EXECUTE PATCH a|FINISH ADD new|FINISH PATCH a|succeeded",
                     {{"a", "a2"}, {"keep", "keep"}, {"new", "new"}}, {}, [=](Paths& p) {
                       sign(p);
                       write_file(p.root + "/evil.manifest", "remove \"keep\"\n");
                       write_file(p.root + "/evil.patch", make_patch("a1", "evil"));
                       ASSERT_TRUE(start_program({RENAME_RACER, p.updates, "update.manifest=" + p.root + "/evil.manifest",
                                                  "0.patch=" + p.root + "/evil.patch"}, {}, p.root + "/racer.out", racer.get()));
                       ASSERT_TRUE(wait_for_text(p.root + "/racer.out", "ready"));
                     },
                     [](Paths& p) {
                       for (const char* name : {"0.patch", "0.patch.go"}) unlink((p.updates + "/" + name).c_str());
                     }});
    cases.back().options.env = hold;
  }
  check_action_cases(cases);
}

// Vendors may sign with any Ed25519 tool: Ed25519 over the SHA-512 digest of
// the package, 64 raw bytes; the key line is 64 hex digits; zav agrees.
TEST(Signature, SignatureOfOtherToolsIsAcceptedAndZavMakesTheSame) {
  ASSERT_GE(sodium_init(), 0);
  unsigned char seed[crypto_sign_SEEDBYTES], pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
  for (size_t i = 0; i < sizeof seed; i++) seed[i] = static_cast<unsigned char>(i * 7 + 1);
  crypto_sign_seed_keypair(pk, sk, seed);
  char hex[2 * sizeof pk + 1], seed_hex[2 * sizeof seed + 1];
  sodium_bin2hex(hex, sizeof hex, pk, sizeof pk);
  sodium_bin2hex(seed_hex, sizeof seed_hex, seed, sizeof seed);
  TempDir dir;
  make_update(dir / "u", "add \"f\"\n", {{"f", "f"}});
  std::string bytes = read_file(dir / "u/update.zav");
  unsigned char digest[crypto_hash_sha512_BYTES], raw[crypto_sign_BYTES];
  crypto_hash_sha512(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  crypto_sign_detached(raw, nullptr, digest, sizeof digest, sk);
  const std::string signature(reinterpret_cast<char*>(raw), sizeof raw);
  check_action_cases({{"signed elsewhere", {}, "add \"f\"\n", {{"f", "f"}},
                       "signature verified with key 1 of $K|PREPARE ADD f|EXECUTE ADD f|FINISH ADD f|succeeded",
                       {{"f", "f"}}, {}, [&](const Paths& p) {
                         write_file(p.key_file, std::string(hex) + "\n");
                         write_file(p.updates + "/update.zav", bytes);
                         write_file(p.updates + "/update.zav.sig", signature);
                       }}});
  write_file(dir / "c.secret", std::string(seed_hex) + "\n", 0600);
  write_file(dir / "c.pub", std::string(hex) + "\n");
  ASSERT_EQ(run_tool("zav", {"sign", dir / "u/update.zav", dir / "c.secret"}).exit_code, 0);
  EXPECT_EQ(read_file(dir / "u/update.zav.sig"), signature);
  RunResult r = run_tool("zav", {"verify", dir / "u/update.zav", dir / "c.pub"});
  EXPECT_EQ(r.out, dir / "u/update.zav" + ": signature good, key 1 of " + dir / "c.pub" + "\n");
}

}  // namespace
