// Signed packages end to end: the updater, started through a name whose
// "<name>.pub" the test controls, checks update.zav.sig before it reads the
// package; zav makes keys, signs and verifies.
#include <gtest/gtest.h>
#include <sodium.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

RunResult zav(const std::vector<std::string>& args, mode_t umask_value = 022) {
  std::vector<std::string> argv = {tool_bin("zav")};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.umask_value = umask_value;
  return run_program(argv, options);
}

struct SignatureTest : ::testing::Test {
  TempDir root;
  std::string program = root / "bin/updater";  // a link to the real updater
  std::string key_file = program + ".pub";
  std::string install = root / "install";
  std::string keys = root / "keys";
  std::string key_a, key_b;  // public key lines

  SignatureTest() {
    make_dirs(root / "bin");
    EXPECT_EQ(symlink(updater_bin().c_str(), program.c_str()), 0);
    write_file(install + "/bin/app", "app version 1\n", 0755);
    write_file(install + "/share/data", "data\n", 0644);
    make_dirs(keys);
    for (const char* k : {"a", "b"}) {
      RunResult r = zav({"keygen", keys + "/" + k + ".secret", keys + "/" + k + ".pub"});
      EXPECT_EQ(r.exit_code, 0) << r.err;
    }
    key_a = read_file(keys + "/a.pub");
    key_b = read_file(keys + "/b.pub");
  }

  // The updater as an installation starts it: by the path beside its key file.
  RunResult run(const std::string& updates, RunOptions options = {}) {
    options.cwd = install;
    return run_program({program, updates, "0"}, options);
  }
  void sign(const std::string& package, const char* key) {
    RunResult r = zav({"sign", package, keys + "/" + key + ".secret"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }
};

void flip_byte(const std::string& path, size_t at) {
  std::string bytes = read_file(path);
  ASSERT_LT(at, bytes.size());
  bytes[at] ^= 0x01;
  write_file(path, bytes);
}

TEST_F(SignatureTest, RunsOnlyWhatAListedKeySigned) {
  struct Case {
    const char* name;
    std::function<void(const std::string& updates)> setup;  // makes package, signature, key file
    const char* status;
    std::function<std::string(const std::string& updates)> log;  // without the last line
  };
  auto package = [](const std::string& updates) { return updates + "/update.zav"; };
  Case cases[] = {
      {"valid signature",
       [&](const std::string& u) {
         write_file(key_file, key_a);
         sign(package(u), "a");
       },
       "succeeded\n",
       [&](const std::string&) {
         return "signature verified with key 1 of " + key_file + "\nsucceeded\n";
       }},
      {"two keys, the second signed",
       [&](const std::string& u) {
         write_file(key_file, "# old key\n" + key_a + "\n  # new key, shipped before use\r\n" +
                                  key_b);
         sign(package(u), "b");
       },
       "succeeded\n",
       [&](const std::string&) {
         return "signature verified with key 2 of " + key_file + "\nsucceeded\n";
       }},
      {"key line with blanks and CRLF",
       [&](const std::string& u) {
         write_file(key_file, " \t" + key_a.substr(0, 64) + " \r\n\n");
         sign(package(u), "a");
       },
       "succeeded\n",
       [&](const std::string&) {
         return "signature verified with key 1 of " + key_file + "\nsucceeded\n";
       }},
      {"signed by a key that is not listed",
       [&](const std::string& u) {
         write_file(key_file, key_a);
         sign(package(u), "b");
       },
       "failed: 8\n",
       [&](const std::string&) {
         return "bad signature: no key in " + key_file + " accepts the package\nfailed: 8\n";
       }},
      {"valid signature over a different package",
       [&](const std::string& u) {
         write_file(key_file, key_a);
         make_update(root / "other", "# another package\n");
         sign(root / "other/update.zav", "a");
         write_file(package(u) + ".sig", read_file(root / "other/update.zav.sig"));
       },
       "failed: 8\n",
       [&](const std::string&) {
         return "bad signature: no key in " + key_file + " accepts the package\nfailed: 8\n";
       }},
      {"byte of the package flipped after signing",
       [&](const std::string& u) {
         write_file(key_file, key_a);
         sign(package(u), "a");
         flip_byte(package(u), 12);
       },
       "failed: 8\n",
       [&](const std::string&) {
         return "bad signature: no key in " + key_file + " accepts the package\nfailed: 8\n";
       }},
      {"byte appended to the package after signing",
       [&](const std::string& u) {
         write_file(key_file, key_a);
         sign(package(u), "a");
         write_file(package(u), read_file(package(u)) + "x");
       },
       "failed: 8\n",
       [&](const std::string&) {
         return "bad signature: no key in " + key_file + " accepts the package\nfailed: 8\n";
       }},
      {"no signature file",
       [&](const std::string&) { write_file(key_file, key_a); },
       "failed: 6\n",
       [&](const std::string& u) {
         return "missing signature " + u + "/update.zav.sig\nfailed: 6\n";
       }},
      {"signature that is a directory",
       [&](const std::string& u) {
         write_file(key_file, key_a);
         make_dirs(package(u) + ".sig");
       },
       "failed: 6\n",
       [&](const std::string& u) {
         return "cannot read signature " + u + "/update.zav.sig: 21\nfailed: 6\n";
       }},
      {"signature that is a named pipe",
       [&](const std::string& u) {
         write_file(key_file, key_a);
         ASSERT_EQ(mkfifo((package(u) + ".sig").c_str(), 0644), 0);
       },
       "failed: 8\n",
       [&](const std::string& u) {
         return "malformed signature " + u + "/update.zav.sig: 0 bytes\nfailed: 8\n";
       }},
      {"package that is a named pipe",
       [&](const std::string& u) {
         write_file(key_file, key_a);
         sign(package(u), "a");
         unlink(package(u).c_str());
         ASSERT_EQ(mkfifo(package(u).c_str(), 0644), 0);
       },
       "failed: 6\n",
       [&](const std::string& u) {
         return "package is not a regular file: " + u + "/update.zav\nfailed: 6\n";
       }},
      {"truncated signature",
       [&](const std::string& u) {
         write_file(key_file, key_a);
         sign(package(u), "a");
         write_file(package(u) + ".sig", read_file(package(u) + ".sig").substr(0, 63));
       },
       "failed: 8\n",
       [&](const std::string& u) {
         return "malformed signature " + u + "/update.zav.sig: 63 bytes\nfailed: 8\n";
       }},
      {"signature with a byte too many",
       [&](const std::string& u) {
         write_file(key_file, key_a);
         sign(package(u), "a");
         write_file(package(u) + ".sig", read_file(package(u) + ".sig") + "\n");
       },
       "failed: 8\n",
       [&](const std::string& u) {
         return "malformed signature " + u + "/update.zav.sig: 65 bytes\nfailed: 8\n";
       }},
      {"empty key file",
       [&](const std::string& u) {
         write_file(key_file, "");
         sign(package(u), "a");
       },
       "failed: 8\n",
       [&](const std::string&) { return "no key in key file " + key_file + "\nfailed: 8\n"; }},
      {"key file of comments only",
       [&](const std::string& u) {
         write_file(key_file, "# keys go here\n\n");
         sign(package(u), "a");
       },
       "failed: 8\n",
       [&](const std::string&) { return "no key in key file " + key_file + "\nfailed: 8\n"; }},
      {"key file with a line that is not a key",
       [&](const std::string& u) {
         write_file(key_file, key_a + key_b.substr(0, 62) + "\n");
         sign(package(u), "a");
       },
       "failed: 8\n",
       [&](const std::string&) {
         return "malformed key on line 2 of " + key_file + "\nfailed: 8\n";
       }},
      {"key file that is a directory",
       [&](const std::string& u) {
         make_dirs(key_file);
         sign(package(u), "a");
       },
       "failed: 6\n",
       [&](const std::string&) {
         return "cannot read key file " + key_file + ": 21\nfailed: 6\n";
       }},
      {"key file that is a named pipe",
       [&](const std::string& u) {
         ASSERT_EQ(mkfifo(key_file.c_str(), 0644), 0);
         sign(package(u), "a");
       },
       "failed: 8\n",
       [&](const std::string&) { return "no key in key file " + key_file + "\nfailed: 8\n"; }},
      {"key file that is a dangling link",
       [&](const std::string& u) {
         ASSERT_EQ(symlink((root / "gone").c_str(), key_file.c_str()), 0);
         sign(package(u), "a");
       },
       "failed: 6\n",
       [&](const std::string&) {
         return "cannot read key file " + key_file + ": 2\nfailed: 6\n";
       }},
  };

  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string updates = root / ("updates" + std::to_string(n++));
    unlink(key_file.c_str());
    rmdir(key_file.c_str());
    make_update(updates, "# " + std::string(c.name) + "\n");
    c.setup(updates);
    Tree before = snapshot_tree(install);

    RunResult r = run(updates);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(read_file(updates + "/update.status"), c.status);
    EXPECT_EQ(read_file(updates + "/update.log"), c.log(updates) + "calling QuitProgressUI\n");
    EXPECT_EQ(tree_diff(before, snapshot_tree(install)), "");
    // A refused package is not even opened for its manifest.
    EXPECT_EQ(exists(updates + "/update.manifest"), std::string(c.status) == "succeeded\n");
  }
}

TEST_F(SignatureTest, PackageRewrittenInPlaceAfterTheCheckIsNotRead) {
  std::string updates = root / "updates";
  // Larger than any read buffer, so that the reader goes back to the file
  // for the manifest after it has read the index at the end.
  std::string noise = random_bytes(300000, 2463534242u);
  write_file(key_file, key_a);
  make_update(updates, "add \"share/data\"\n", {{"share/data", "good\n", 0644}, {"noise", noise}});
  sign(updates + "/update.zav", "a");
  make_update(root / "evil", "add \"share/data\"\n", {{"share/data", "evil\n", 0644}, {"noise", noise}});
  std::string evil = read_file(root / "evil/update.zav");

  // Stopped as it creates the manifest, after the check: the same file is
  // then rewritten in place with an unsigned package.
  RunOptions options;
  options.cwd = install;
  options.env = fault_shim_env({"FAULT_STOP_PATH=*/update.manifest"});
  Child child;
  ASSERT_TRUE(start_program({program, updates, "0"}, options, root / "out", &child));
  int status = 0;
  ASSERT_EQ(waitpid(child.pid, &status, WUNTRACED), child.pid);
  ASSERT_TRUE(WIFSTOPPED(status));
  int fd = open((updates + "/update.zav").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, evil.data(), evil.size()), static_cast<ssize_t>(evil.size()));
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(evil.size())), 0);
  close(fd);
  kill(child.pid, SIGCONT);
  EXPECT_EQ(wait_program(&child, 60), 0);

  EXPECT_EQ(read_file(updates + "/update.status"), "succeeded\n");
  EXPECT_EQ(read_file(install + "/share/data"), "good\n");
}

TEST_F(SignatureTest, MissingPackageWithAKeyFailsAsBefore) {
  write_file(key_file, key_a);
  std::string updates = root / "updates";
  make_dirs(updates);
  run(updates);
  EXPECT_EQ(read_file(updates + "/update.status"), "failed: 6\n");
  EXPECT_EQ(read_file(updates + "/update.log"), "failed: 6\ncalling QuitProgressUI\n");
}

TEST_F(SignatureTest, UnreadableKeyFileFailsInsteadOfSkippingTheCheck) {
  uid_t user = unprivileged_uid();
  if (user == 0) GTEST_SKIP() << "no unprivileged user";
  write_file(key_file, key_a, 0000);
  std::string updates = root / "updates";
  make_update(updates, "# signed\n");
  sign(updates + "/update.zav", "a");
  chmod(updates.c_str(), 0777);
  Tree before = snapshot_tree(install);

  RunOptions options;
  options.uid = user;
  run(updates, options);
  EXPECT_EQ(read_file(updates + "/update.status"), "failed: 6\n");
  EXPECT_EQ(read_file(updates + "/update.log"),
            "cannot read key file " + key_file + ": 13\nfailed: 6\ncalling QuitProgressUI\n");
  EXPECT_FALSE(exists(updates + "/update.manifest"));
  EXPECT_EQ(tree_diff(before, snapshot_tree(install)), "");
}

TEST_F(SignatureTest, WithoutAKeyFileNothingIsChecked) {
  struct Case {
    const char* name;
    const char* signature;  // null: none
  } cases[] = {{"unsigned", nullptr}, {"garbage signature", "not a signature"}};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string updates = root / ("updates" + std::to_string(n++));
    make_update(updates, "# unsigned\n");
    if (c.signature != nullptr) write_file(updates + "/update.zav.sig", c.signature);
    run(updates);
    EXPECT_EQ(read_file(updates + "/update.status"), "succeeded\n");
    EXPECT_EQ(read_file(updates + "/update.log"),
              std::string(kUnverifiedLine) + "succeeded\ncalling QuitProgressUI\n");
    EXPECT_EQ(read_file(updates + "/update.manifest"), "# unsigned\n");
  }
}

// Vendors may sign with any Ed25519 tool: the signature is Ed25519 over the
// SHA-512 digest of the package, raw 64 bytes; the key line is 64 hex digits.
TEST_F(SignatureTest, SignatureMadeByOtherToolsIsAccepted) {
  ASSERT_GE(sodium_init(), 0);
  unsigned char seed[crypto_sign_SEEDBYTES];
  for (size_t i = 0; i < sizeof seed; i++) seed[i] = static_cast<unsigned char>(i * 7 + 1);
  unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(pk, sk, seed);
  char hex[2 * sizeof pk + 1];
  sodium_bin2hex(hex, sizeof hex, pk, sizeof pk);
  write_file(key_file, std::string(hex) + "\n");

  std::string updates = root / "updates";
  make_update(updates, "# signed elsewhere\n");
  std::string bytes = read_file(updates + "/update.zav");
  unsigned char digest[crypto_hash_sha512_BYTES];
  crypto_hash_sha512(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  unsigned char sig[crypto_sign_BYTES];
  crypto_sign_detached(sig, nullptr, digest, sizeof digest, sk);
  write_file(updates + "/update.zav.sig", std::string(reinterpret_cast<char*>(sig), sizeof sig));

  run(updates);
  EXPECT_EQ(read_file(updates + "/update.status"), "succeeded\n");
  RunResult r = zav({"verify", updates + "/update.zav", key_file});
  EXPECT_EQ(r.exit_code, 0) << r.err;

  // zav signs the same way: the secret key file is the seed in hex.
  char seed_hex[2 * sizeof seed + 1];
  sodium_bin2hex(seed_hex, sizeof seed_hex, seed, sizeof seed);
  write_file(keys + "/c.secret", std::string(seed_hex) + "\n", 0600);
  sign(updates + "/update.zav", "c");
  EXPECT_EQ(read_file(updates + "/update.zav.sig"),
            std::string(reinterpret_cast<char*>(sig), sizeof sig));
}

TEST_F(SignatureTest, ZavMakesKeysSignsAndVerifies) {
  // Keys: hex lines; the secret is private whatever the umask.
  RunResult r = zav({"keygen", keys + "/open.secret", keys + "/open.pub"}, 0);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(file_mode(keys + "/open.secret"), 0600u);
  EXPECT_EQ(file_mode(keys + "/open.pub"), 0644u);
  for (const std::string& f : {keys + "/open.secret", keys + "/open.pub"}) {
    std::string text = read_file(f);
    ASSERT_EQ(text.size(), 65u) << f;
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), 64u) << f;
    EXPECT_EQ(text.back(), '\n');
  }
  EXPECT_NE(key_a, key_b);

  std::string package = root / "p.zav";
  make_package(package, {{"update.manifest", "# p\n", 0644}});
  sign(package, "a");
  EXPECT_EQ(read_file(package + ".sig").size(), 64u);
  EXPECT_FALSE(exists(package + ".sig.tmp"));
  r = zav({"verify", package, keys + "/a.pub"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, package + ": signature good, key 1 of " + keys + "/a.pub\n");

  std::string secret_a = read_file(keys + "/a.secret");
  write_file(root / "bad.secret", "abc\n", 0600);
  write_file(root / "nokeys.pub", "# none\n");
  write_file(root / "unsigned.zav", "whatever");
  struct Failure {
    std::vector<std::string> args;
    std::string message;
  } failures[] = {
      {{"keygen", keys + "/a.secret", root / "new.pub"},
       "zav: cannot make key pair " + keys + "/a.secret, " + root / "new.pub" +
           ": File exists\n"},
      {{"sign", package, root / "bad.secret"}, "zav: not a secret key file: " + root / "bad.secret" + "\n"},
      {{"sign", package, root / "none.secret"},
       "zav: cannot read " + root / "none.secret" + ": No such file or directory\n"},
      {{"sign", root / "none.zav", keys + "/a.secret"},
       "zav: cannot read " + root / "none.zav" + ": No such file or directory\n"},
      {{"verify", package, keys + "/b.pub"}, "zav: bad signature: no key accepts: " + package + "\n"},
      {{"verify", package, root / "nokeys.pub"}, "zav: no key in: " + root / "nokeys.pub" + "\n"},
      {{"verify", root / "unsigned.zav", keys + "/a.pub"},
       "zav: cannot read " + root / "unsigned.zav.sig" + ": No such file or directory\n"},
      {{"keygen", keys + "/x"}, ""},
      {{"sign", package}, ""},
  };
  for (const Failure& f : failures) {
    SCOPED_TRACE(f.args[0] + " " + f.args[1]);
    r = zav(f.args);
    EXPECT_NE(r.exit_code, 0);
    if (!f.message.empty()) {
      EXPECT_EQ(r.err, f.message);
    }
  }
  // A refused keygen keeps the existing secret and makes no public file.
  EXPECT_EQ(read_file(keys + "/a.secret"), secret_a);
  EXPECT_FALSE(exists(root / "new.pub"));
  EXPECT_FALSE(exists(root / "none.zav.sig"));
}

}  // namespace
