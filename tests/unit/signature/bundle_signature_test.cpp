#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "host/UpdateTexts.h"
#include "signature/bundle_signature.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace qx::signature {
namespace {

namespace fs = std::filesystem;
using host::verdictMessage;
using host::verifyBundle;
using test::readFile;
using test::writeFile;
using Step = BundleVerdict::Step;
using Status = SignatureStatus;

std::string plist(const std::string& version) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
         "\t<key>CFBundleIdentifier</key>\n\t<string>com.quorvex.host</string>\n"
         "\t<key>CFBundleShortVersionString</key>\n\t<string>" +
         version + "</string>\n</dict>\n</plist>\n";
}

// A small bundle with executables, a plain file, a nested directory and a
// link, signed with `key`.
struct Bundle {
  explicit Bundle(const SecretKey& key) : app(fs::path(dir.path()) / "Quorvex Host.app") {
    fs::create_directories(macos());
    fs::create_directories(app / "Contents/Resources/icons");
    writeFile(app / "Contents/Info.plist", plist("1.4"));
    writeFile(macos() / "QuorvexHost",
              "\x7f"
              "ELF host");
    writeFile(macos() / "quorvex-screencap",
              "\x7f"
              "ELF helper");
    writeFile(app / "Contents/Resources/icons/tray 100%.png", "PNG");
    fs::permissions(macos() / "QuorvexHost", fs::perms(0755));
    fs::permissions(macos() / "quorvex-screencap", fs::perms(0755));
    fs::create_symlink("icons/tray 100%.png", app / "Contents/Resources/tray.png");
    EXPECT_EQ(signBundle(app, key), std::nullopt);
  }
  fs::path macos() const { return app / "Contents/MacOS"; }
  fs::path signatures() const { return app / signatureDirectory; }

  test::TempDir dir;
  fs::path app;
};

class BundleSignatureTest : public ::testing::Test {
 public:
  KeyPair ours = generateKeyPair();
  KeyPair theirs = generateKeyPair();
};

TEST_F(BundleSignatureTest, SignedBundleVerifies) {
  Bundle bundle(ours.secretKey);
  EXPECT_EQ(checkBundle(bundle.app, "1.4", ours.publicKey), BundleVerdict{});
  EXPECT_EQ(verifyBundle(bundle.app, "1.4", ours.publicKey, false), std::nullopt);
}

TEST_F(BundleSignatureTest, MinisignVerifiesTheManifest) {
  if (!test::onPath("minisign")) GTEST_SKIP() << "minisign is not installed (scripts/deps.sh installs it)";
  Bundle bundle(ours.secretKey);
  test::TempDir keys;
  writeFile(keys.file("key.pub"), publicKeyFile(ours.publicKey));
  test::Process::Options minisign;
  minisign.args = {test::findOnPath("minisign"), "-Vm", bundle.signatures() / manifestName, "-p", keys.file("key.pub")};
  auto result = test::run(minisign);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("Signature and comment signature verified"), std::string::npos) << result.out;
}

// Each fault, made after signing, fails with its own status.
TEST_F(BundleSignatureTest, EachFaultHasItsOwnStatus) {
  struct Case {
    const char* fault;
    std::function<void(Bundle&, const BundleSignatureTest&)> apply;
    Status status;
  };
  auto resign = [](Bundle& b, const SecretKey& key, const std::function<void(Manifest&)>& edit) {
    auto manifest = std::get<Manifest>(scanBundle(b.app));
    edit(manifest);
    ASSERT_EQ(writeBundleSignature(b.app, manifest, key), std::nullopt);
  };
  const Case cases[] = {
      {"one changed byte",
       [](Bundle& b, auto&) {
         writeFile(b.macos() / "QuorvexHost",
                   "\x7f"
                   "ELF hosT");
       },
       Status::fileChanged},
      {"an added file", [](Bundle& b, auto&) { writeFile(b.macos() / "extra", ""); }, Status::entryAdded},
      {"an added directory", [](Bundle& b, auto&) { fs::create_directory(b.app / "Contents/Frameworks"); },
       Status::entryAdded},
      {"a file beside the signature", [](Bundle& b, auto&) { writeFile(b.signatures() / "extra", ""); },
       Status::entryAdded},
      {"a removed file", [](Bundle& b, auto&) { fs::remove(b.macos() / "quorvex-screencap"); }, Status::entryRemoved},
      {"a changed executable bit",
       [](Bundle& b, auto&) { fs::permissions(b.macos() / "QuorvexHost", fs::perms(0644)); },
       Status::executableChanged},
      {"a file replaced by a link",
       [](Bundle& b, auto&) {
         fs::remove(b.macos() / "quorvex-screencap");
         fs::create_symlink("QuorvexHost", b.macos() / "quorvex-screencap");
       },
       Status::linkAdded},
      {"a retargeted link",
       [](Bundle& b, auto&) {
         fs::remove(b.app / "Contents/Resources/tray.png");
         fs::create_symlink("icons", b.app / "Contents/Resources/tray.png");
       },
       Status::linkChanged},
      {"a link to an absolute path", [](Bundle& b, auto&) { fs::create_symlink("/etc/passwd", b.macos() / "passwd"); },
       Status::linkAbsolute},
      {"a link through ..", [](Bundle& b, auto&) { fs::create_symlink("a/../../../outside", b.macos() / "out"); },
       Status::linkThroughParent},
      {"a FIFO", [](Bundle& b, auto&) { ASSERT_EQ(::mkfifo((b.macos() / "pipe").c_str(), 0644), 0); },
       Status::specialFile},
      {"a file replaced by a directory",
       [](Bundle& b, auto&) {
         fs::remove(b.macos() / "quorvex-screencap");
         fs::create_directory(b.macos() / "quorvex-screencap");
       },
       Status::kindChanged},
      {"a wrong identifier",
       [&](Bundle& b, auto& t) {
         resign(b, t.ours.secretKey, [](Manifest& m) { m.identifier = "com.quorvex.hosts"; });
       },
       Status::wrongIdentifier},
      {"a wrong team",
       [&](Bundle& b, auto& t) { resign(b, t.ours.secretKey, [](Manifest& m) { m.team = "K3T9QW7ZPE"; }); },
       Status::wrongTeam},
      {"another key", [](Bundle& b, auto& t) { ASSERT_EQ(signBundle(b.app, t.theirs.secretKey), std::nullopt); },
       Status::otherKey},
      {"another key under our key id",
       [](Bundle& b, auto& t) {
         SecretKey forged = t.theirs.secretKey;
         forged.id = t.ours.secretKey.id;
         ASSERT_EQ(signBundle(b.app, forged), std::nullopt);
       },
       Status::badSignature},
      {"a manifest edited after signing",
       [](Bundle& b, auto&) {
         auto text = readFile(b.signatures() / manifestName);
         writeFile(b.signatures() / manifestName, text + "dir Contents/Plugins\n");
         fs::create_directory(b.app / "Contents/Plugins");
       },
       Status::badSignature},
      {"an edited trusted comment",
       [](Bundle& b, auto&) {
         auto text = readFile(b.signatures() / manifestSignatureName);
         text.replace(text.find("file:manifest"), 13, "file:Manifest");
         writeFile(b.signatures() / manifestSignatureName, text);
       },
       Status::badTrustedComment},
      {"a signature of another format",
       [](Bundle& b, auto&) { writeFile(b.signatures() / manifestSignatureName, "untrusted comment: x\nRUQ=\n"); },
       Status::malformedSignature},
      {"a missing signature", [](Bundle& b, auto&) { fs::remove(b.signatures() / manifestSignatureName); },
       Status::missingSignature},
      {"a missing manifest", [](Bundle& b, auto&) { fs::remove(b.signatures() / manifestName); },
       Status::missingSignature},
      {"no signature directory", [](Bundle& b, auto&) { fs::remove_all(b.signatures()); }, Status::missingSignature},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    Bundle bundle(ours.secretKey);
    c.apply(bundle, *this);
    EXPECT_EQ(checkBundle(bundle.app, "1.4", ours.publicKey), (BundleVerdict{Step::invalid, c.status}));
  }
}

TEST_F(BundleSignatureTest, NoPinnedKeyRefusesEveryBundle) {
  Bundle bundle(ours.secretKey);
  EXPECT_EQ(checkBundle(bundle.app, "1.4", std::nullopt), (BundleVerdict{Step::invalid, Status::noKeyPinned}));
  EXPECT_EQ(verifyBundle(bundle.app, "1.4", std::nullopt, false), "The update's signature is invalid (-1)");
}

TEST_F(BundleSignatureTest, UnreadableSignatureOrBundle) {
  struct Case {
    const char* fault;
    std::function<void(Bundle&)> apply;
  };
  const Case cases[] = {
      // Tests run as root, where mode 000 does not stop a read.
      {"the manifest is a directory",
       [](Bundle& b) {
         fs::remove(b.signatures() / manifestName);
         fs::create_directory(b.signatures() / manifestName);
       }},
      {"the signature is a FIFO",
       [](Bundle& b) {
         fs::remove(b.signatures() / manifestSignatureName);
         ASSERT_EQ(::mkfifo((b.signatures() / manifestSignatureName).c_str(), 0644), 0);
       }},
      {"the manifest is a link",
       [](Bundle& b) {
         fs::rename(b.signatures() / manifestName, b.signatures() / "real");
         fs::create_symlink("real", b.signatures() / manifestName);
       }},
      {"the bundle is a file",
       [](Bundle& b) {
         fs::remove_all(b.app);
         writeFile(b.app, "");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    Bundle bundle(ours.secretKey);
    c.apply(bundle);
    EXPECT_EQ(checkBundle(bundle.app, "1.4", ours.publicKey), (BundleVerdict{Step::unreadable}));
    EXPECT_EQ(verifyBundle(bundle.app, "1.4", ours.publicKey, false), "Couldn't read the update's signature");
  }
}

TEST_F(BundleSignatureTest, VersionMustMatchExactly) {
  Bundle bundle(ours.secretKey);
  EXPECT_EQ(checkBundle(bundle.app, "1.4.0", ours.publicKey), (BundleVerdict{Step::versionMismatch}));
  EXPECT_EQ(verifyBundle(bundle.app, "1.4.0", ours.publicKey, false),
            "The update's version doesn't match the manifest");
  EXPECT_EQ(checkBundle(bundle.app, std::nullopt, ours.publicKey), BundleVerdict{});
}

TEST(BundleTexts, BothLanguages) {
  EXPECT_EQ(verdictMessage({Step::unreadable}, true), "无法读取更新包的签名");
  EXPECT_EQ(verdictMessage({Step::invalid, Status::fileChanged}, true), "更新包的签名无效（-10）");
  EXPECT_EQ(verdictMessage({Step::invalid, Status::fileChanged}, false), "The update's signature is invalid (-10)");
  EXPECT_EQ(verdictMessage({Step::versionMismatch}, true), "更新包的版本与清单不符");
  EXPECT_EQ(verdictMessage({}, true), std::nullopt);
}

TEST(InfoPlistVersion, ReadsTheStringValue) {
  struct Case {
    std::string xml;
    std::optional<std::string> version;
  };
  const std::string key = "<key>CFBundleShortVersionString</key>";
  const Case cases[] = {
      {plist("1.4"), "1.4"},
      {key + "\n\t<string>1&amp;2 &#x4E2D;&#20013;</string>", "1&2 中中"},
      {key + "<string/>", ""},
      {key + "<integer>1</integer>", std::nullopt},
      {key + "<string>1.4", std::nullopt},
      {key + "<string>1&bogus;</string>", std::nullopt},
      {"<!-- " + key + "<string>9.9</string> -->" + key + "<string>1.4</string>", "1.4"},
      {"<key>CFBundleVersion</key><string>1.4</string>", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(infoPlistVersion(c.xml), c.version) << c.xml;
}

TEST(Manifest, FormatReadsBack) {
  Manifest manifest{"com.quorvex.host",
                    "K3T9QW7ZPD",
                    {{ManifestEntry::Kind::directory, "Contents", "", false, ""},
                     {ManifestEntry::Kind::file, "Contents/a 100%\n", std::string(64, 'a'), true, ""},
                     {ManifestEntry::Kind::link, "Contents/b", "", false, "a 100%\n"}}};
  std::string text = formatManifest(manifest);
  EXPECT_NE(text.find("file Contents/a%20100%25%0A " + std::string(64, 'a') + " x\n"), std::string::npos) << text;
  EXPECT_EQ(parseManifest(text), manifest);
}

// A walk compared with the signed manifest, without a file system: the first
// difference in walk order decides, a missing entry only at the end.
TEST(CompareScan, FirstDifferenceInWalkOrderDecides) {
  using Kind = ManifestEntry::Kind;
  const std::string hash(64, 'a');
  const Manifest manifest{"com.quorvex.host",
                          "K3T9QW7ZPD",
                          {{Kind::directory, "Contents", "", false, ""},
                           {Kind::file, "Contents/a", hash, true, ""},
                           {Kind::link, "Contents/l", "", false, "a"}}};
  using Scan = std::vector<ScannedEntry>;
  const auto seen = [](ManifestEntry entry, Status problem = Status::ok, bool described = true) {
    return ScannedEntry{std::move(entry), problem, described, ""};
  };
  const auto walkOf = [&manifest, &seen](const std::function<void(Scan&)>& edit) {
    Scan scan = {seen(manifest.entries[0]), seen(manifest.entries[1]), seen(manifest.entries[2])};
    edit(scan);
    return scan;
  };
  const ScannedEntry extra = seen({Kind::file, "Contents/b", hash, false, ""});
  const ScannedEntry fifo = seen({Kind::directory, "Contents/p", "", false, ""}, Status::specialFile, false);
  const ScannedEntry signatures = seen({Kind::directory, std::string(signatureDirectory), "", false, ""});
  const struct {
    const char* walk;
    std::function<void(Scan&)> edit;
    Status status;
  } cases[] = {
      {"the same entries", [](Scan&) {}, Status::ok},
      {"the signature directory, not listed", [&](Scan& s) { s.push_back(signatures); }, Status::ok},
      {"more beside the signature", [&](Scan& s) { s.push_back(seen(signatures.entry, Status::entryAdded)); },
       Status::entryAdded},
      {"an extra file", [&](Scan& s) { s.push_back(extra); }, Status::entryAdded},
      {"a missing file", [](Scan& s) { s.erase(s.begin() + 1); }, Status::entryRemoved},
      {"an extra file and a missing one", [&](Scan& s) { s[1] = extra; }, Status::entryAdded},
      {"changed bytes", [](Scan& s) { s[1].entry.sha256[0] = 'b'; }, Status::fileChanged},
      {"a changed mode", [](Scan& s) { s[1].entry.executable = false; }, Status::executableChanged},
      {"a changed mode, unread",
       [&seen](Scan& s) {
         s[1] = seen({Kind::file, "Contents/a", "", false, ""}, Status::unreadableEntry);
       },
       Status::executableChanged},
      {"the same mode, unread",
       [&seen](Scan& s) {
         s[1] = seen({Kind::file, "Contents/a", "", true, ""}, Status::unreadableEntry);
       },
       Status::unreadableEntry},
      {"a link retargeted", [](Scan& s) { s[2].entry.target = "b"; }, Status::linkChanged},
      {"a link for a file",
       [](Scan& s) {
         s[1].entry = {Kind::link, "Contents/a", "", false, "l"};
       },
       Status::linkAdded},
      {"a directory for a file",
       [](Scan& s) {
         s[1].entry = {Kind::directory, "Contents/a", "", false, ""};
       },
       Status::kindChanged},
      {"changed bytes before a FIFO", [&](Scan& s) { s[1].entry.sha256[0] = 'b', s.push_back(fifo); },
       Status::fileChanged},
      {"a FIFO before changed bytes", [&](Scan& s) { s.insert(s.begin() + 1, fifo), s[2].entry.sha256[0] = 'b'; },
       Status::specialFile},
  };
  for (const auto& c : cases) EXPECT_EQ(compareScan(manifest, walkOf(c.edit)), c.status) << c.walk;
}

TEST(Manifest, RejectsWhatWeNeverWrite) {
  const std::string head = "quorvex-bundle-manifest 1\nidentifier com.quorvex.host\nteam K3T9QW7ZPD\n";
  const std::string hash(64, '0');
  const std::string cases[] = {
      head + "dir b\ndir a\n",                     // out of order
      head + "dir a\ndir a\n",                     // twice
      head + "dir a/../b\n",                       // a path through ..
      head + "dir /a\n",                           // absolute
      head + "link a /etc\n",                      // absolute link
      head + "link a b/../..\n",                   // link through ..
      head + "dir %61\n",                          // needless escape
      head + "file a " + hash + "\n",              // no execute field
      head + "file a " + hash.substr(1) + " x\n",  // short hash
      head + "dir a",                              // no final line feed
      "identifier com.quorvex.host\nteam K3T9QW7ZPD\n",
  };
  for (const auto& text : cases) EXPECT_EQ(parseManifest(text), std::nullopt) << text;
  EXPECT_NE(parseManifest(head), std::nullopt);
}

TEST(InfoPlist, FindsTheShortVersionString) {
  const char* plist = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>CFBundleVersion</key><string>77</string>
  <key>CFBundleShortVersionString</key>
  <string>1.3.2</string>
</dict></plist>)";
  EXPECT_EQ(infoPlistVersion(plist), std::optional<std::string>("1.3.2"));
  EXPECT_FALSE(infoPlistVersion("<dict><key>CFBundleVersion</key><string>77</string></dict>"));
  EXPECT_FALSE(infoPlistVersion("<key>CFBundleShortVersionString</key><integer>1</integer>"));
  EXPECT_FALSE(infoPlistVersion("<key>CFBundleShortVersionString</key><string>1.2"));
}

// Host and server report the same version for the same file, "dev" without one.
TEST(InstalledVersion, FromTheFileElseDev) {
  test::TempDir dir;
  writeFile(dir.file("named.plist"), plist("2.0.1"));
  writeFile(dir.file("none.plist"), "<dict><key>CFBundleVersion</key><string>77</string></dict>");
  const struct {
    std::string file;
    std::string version;
  } cases[] = {{"named.plist", "2.0.1"}, {"none.plist", "dev"}, {"missing.plist", "dev"}, {"", "dev"}};
  for (const auto& c : cases) EXPECT_EQ(installedVersion(dir.file(c.file)), c.version) << c.file;
}

TEST(MinisignKeys, MinisignKeyFilesAndOursReadBack) {
  auto pub = parsePublicKey(readFile(test::sourcePath("tests/keys/TEST-ONLY-update-key.pub")));
  auto sec = parseSecretKey(readFile(test::sourcePath("tests/keys/TEST-ONLY-update-key.sec")));
  ASSERT_TRUE(pub && sec);
  EXPECT_EQ(sec->publicKey(), *pub);
  EXPECT_EQ(keyIdText(pub->id), "9D6D180606CDAD3C");

  auto pair = generateKeyPair();
  EXPECT_EQ(parsePublicKey(publicKeyFile(pair.publicKey)), pair.publicKey);
  auto again = parseSecretKey(secretKeyFile(pair.secretKey));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->publicKey(), pair.publicKey);

  // A damaged checksum, and a public key where a secret one belongs.
  std::string damaged = secretKeyFile(pair.secretKey);
  damaged[damaged.size() - 6] = damaged[damaged.size() - 6] == 'A' ? 'B' : 'A';
  EXPECT_EQ(parseSecretKey(damaged), std::nullopt);
  EXPECT_EQ(parseSecretKey(publicKeyFile(pair.publicKey)), std::nullopt);
}

}  // namespace
}  // namespace qx::signature
