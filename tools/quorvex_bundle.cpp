// quorvex-bundle: key pairs, signatures and verification of application
// bundles, with the same code the host uses to check an update.
//   keygen PUBLIC SECRET
//   sign --key SECRET BUNDLE
//   verify [--key PUBLIC] [--version V] BUNDLE
//   pinned-key-id
//   key-id PUBLIC

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/fd.h"
#include "host/UpdateTexts.h"
#include "signature/bundle_signature.h"

namespace {

using qx::signature::PublicKey;

constexpr int usageStatus = 2;

constexpr std::string_view usageText =
    "usage: quorvex-bundle keygen PUBLIC SECRET\n"
    "       quorvex-bundle sign --key SECRET BUNDLE\n"
    "       quorvex-bundle verify [--key PUBLIC] [--version V] BUNDLE\n"
    "       quorvex-bundle pinned-key-id\n"
    "       quorvex-bundle key-id PUBLIC\n"
    "Keys are minisign key files (the secret key unencrypted). verify uses the\n"
    "key this build pins unless --key names another, and checks the version in\n"
    "Contents/Info.plist only when --version is given.\n";

int usage(std::string_view problem) {
  std::cerr << "quorvex-bundle: " << problem << "\n" << usageText;
  return usageStatus;
}

int fail(std::string_view message) {
  std::cerr << "quorvex-bundle: " << message << "\n";
  return 1;
}

std::optional<std::string> readKeyFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

std::optional<PublicKey> loadPublicKey(const std::string& path, std::string& error) {
  auto text = readKeyFile(path);
  if (!text) {
    error = "couldn't read " + path;
    return std::nullopt;
  }
  auto key = qx::signature::parsePublicKey(*text);
  if (!key) error = path + " is not a minisign public key";
  return key;
}

// Creates `path` for writing; never replaces an existing file.
bool writeNewFile(const std::string& path, const std::string& content, mode_t mode, std::string& error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    error = "couldn't create " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!qx::writeFully(fd, content.data(), content.size())) {
    error = "couldn't write " + path + ": " + std::strerror(errno);
    ::close(fd);
    ::unlink(path.c_str());
    return false;
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    error = "couldn't write " + path + ": " + std::strerror(errno);
    ::unlink(path.c_str());
    return false;
  }
  return true;
}

int keygen(const std::vector<std::string>& args) {
  if (args.size() != 2) return usage("keygen takes the public and the secret key's file names");
  if (args[0] == args[1]) return usage("the public and the secret key need two different files");
  auto pair = qx::signature::generateKeyPair();
  std::string error;
  if (!writeNewFile(args[0], qx::signature::publicKeyFile(pair.publicKey), 0644, error)) return fail(error);
  if (!writeNewFile(args[1], qx::signature::secretKeyFile(pair.secretKey), 0600, error)) {
    ::unlink(args[0].c_str());
    return fail(error);
  }
  std::cout << "key " << qx::signature::keyIdText(pair.publicKey.id) << ": public " << args[0] << ", secret " << args[1]
            << "\n";
  return 0;
}

int sign(const std::vector<std::string>& args) {
  std::optional<std::string> keyPath;
  std::optional<std::string> bundle;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--key") {
      if (++i == args.size()) return usage("--key needs a file name");
      keyPath = args[i];
    } else if (args[i].starts_with("--")) {
      return usage("sign: unknown option " + args[i]);
    } else if (bundle) {
      return usage("sign takes one bundle");
    } else {
      bundle = args[i];
    }
  }
  if (!keyPath) return usage("sign needs --key SECRET");
  if (!bundle) return usage("sign needs a bundle");
  auto text = readKeyFile(*keyPath);
  if (!text) return fail("couldn't read " + *keyPath);
  auto key = qx::signature::parseSecretKey(*text);
  if (!key) {
    return fail(*keyPath + " is not an unencrypted minisign secret key (make one with keygen or minisign -G -W)");
  }
  if (auto error = qx::signature::signBundle(*bundle, *key)) return fail(*error);
  std::cout << *bundle << ": signed with key " << qx::signature::keyIdText(key->id) << "\n";
  return 0;
}

int verify(const std::vector<std::string>& args) {
  std::optional<std::string> keyPath;
  std::optional<std::string> version;
  std::optional<std::string> bundle;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--key" || args[i] == "--version") {
      if (i + 1 == args.size()) return usage(args[i] + " needs a value");
      (args[i] == "--key" ? keyPath : version) = args[i + 1];
      ++i;
    } else if (args[i].starts_with("--")) {
      return usage("verify: unknown option " + args[i]);
    } else if (bundle) {
      return usage("verify takes one bundle");
    } else {
      bundle = args[i];
    }
  }
  if (!bundle) return usage("verify needs a bundle");
  std::optional<PublicKey> key = qx::signature::pinnedUpdateKey();
  if (keyPath) {
    std::string error;
    key = loadPublicKey(*keyPath, error);
    if (!key) return fail(error);
  }
  auto message = qx::host::verdictMessage(qx::signature::checkBundle(*bundle, version, key), false);
  if (message) {
    std::cerr << *message << "\n";
    return 1;
  }
  std::cout << *bundle << ": verified with key " << qx::signature::keyIdText(key->id) << "\n";
  return 0;
}

int pinnedKeyId(const std::vector<std::string>& args) {
  if (!args.empty()) return usage("pinned-key-id takes no arguments");
  auto key = qx::signature::pinnedUpdateKey();
  if (!key) return fail("this build pins no update key");
  std::cout << qx::signature::keyIdText(key->id) << "\n";
  return 0;
}

int keyId(const std::vector<std::string>& args) {
  if (args.size() != 1) return usage("key-id takes one public key file");
  std::string error;
  auto key = loadPublicKey(args[0], error);
  if (!key) return fail(error);
  std::cout << qx::signature::keyIdText(key->id) << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage("no command");
  std::string_view command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "keygen") return keygen(args);
  if (command == "sign") return sign(args);
  if (command == "verify") return verify(args);
  if (command == "pinned-key-id") return pinnedKeyId(args);
  if (command == "key-id") return keyId(args);
  if (command == "-h" || command == "--help" || command == "help") {
    std::cout << usageText;
    return 0;
  }
  return usage("unknown command " + std::string(command));
}
