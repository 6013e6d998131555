#include "signature/minisign.h"

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace qx::signature {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::string_view commentPrefix = "untrusted comment: ";
constexpr std::string_view trustedPrefix = "trusted comment: ";
// Key files and the key algorithm of a signature carry "Ed"; "ED" marks a
// signature over the message's BLAKE2b-512 hash instead of the message.
constexpr std::array<std::uint8_t, 2> keyAlgorithm = {'E', 'd'};
constexpr std::array<std::uint8_t, 2> hashedAlgorithm = {'E', 'D'};
constexpr std::array<std::uint8_t, 2> checksumAlgorithm = {'B', '2'};

// Secret key layout: signature algorithm (2), key derivation algorithm (2,
// zero when unencrypted), checksum algorithm (2), salt (32), opslimit (8),
// memlimit (8), then the possibly encrypted part: key id (8), secret key (64)
// and a BLAKE2b-256 checksum (32) of algorithm || key id || secret key.
constexpr std::size_t secretKeyBytes = 2 + 2 + 2 + 32 + 8 + 8 + 8 + 64 + 32;
constexpr std::size_t secretIdOffset = 54;
constexpr std::size_t checksumOffset = secretIdOffset + 8 + 64;
constexpr std::size_t checksumBytes = 32;

void ensureSodium() {
  static const int ready = sodium_init();
  if (ready < 0) throw std::runtime_error("libsodium could not be initialised");
}

std::string base64(const std::uint8_t* data, std::size_t size) {
  std::string out(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
  out.resize(std::strlen(out.c_str()));
  return out;
}

// Exactly `size` bytes of strict base64, nothing after them.
std::optional<Bytes> unbase64(std::string_view text, std::size_t size) {
  Bytes out(size + 3);
  std::size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0) {
    return std::nullopt;
  }
  if (end != text.data() + text.size() || length != size) return std::nullopt;
  out.resize(size);
  return out;
}

// The text split at line feeds, every CR before each line feed dropped (a
// comment never ends in one: signing turns CRs into spaces, so a file read
// and written again reads the same); a final line feed ends the last line
// rather than starting an empty one.
std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    auto cut = text.find('\n');
    std::string_view line = text.substr(0, cut);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out.push_back(line);
    if (cut == std::string_view::npos) break;
    text.remove_prefix(cut + 1);
  }
  return out;
}

std::string oneLine(std::string_view text) {
  std::string out(text);
  std::replace(out.begin(), out.end(), '\n', ' ');
  std::replace(out.begin(), out.end(), '\r', ' ');
  return out;
}

std::array<std::uint8_t, 64> blake2b512(std::string_view message) {
  ensureSodium();
  std::array<std::uint8_t, 64> hash{};
  crypto_generichash(hash.data(), hash.size(), reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                     nullptr, 0);
  return hash;
}

std::array<std::uint8_t, checksumBytes> secretChecksum(const SecretKey& key) {
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, checksumBytes);
  crypto_generichash_update(&state, keyAlgorithm.data(), keyAlgorithm.size());
  crypto_generichash_update(&state, key.id.data(), key.id.size());
  crypto_generichash_update(&state, key.key.data(), key.key.size());
  std::array<std::uint8_t, checksumBytes> sum{};
  crypto_generichash_final(&state, sum.data(), sum.size());
  return sum;
}

Bytes globalMessage(const Signature& signature) {
  Bytes message(signature.signature.begin(), signature.signature.end());
  message.insert(message.end(), signature.trustedComment.begin(), signature.trustedComment.end());
  return message;
}

}  // namespace

PublicKey SecretKey::publicKey() const {
  PublicKey pub;
  pub.id = id;
  crypto_sign_ed25519_sk_to_pk(pub.key.data(), key.data());
  return pub;
}

KeyPair generateKeyPair() {
  ensureSodium();
  KeyPair pair;
  randombytes_buf(pair.secretKey.id.data(), pair.secretKey.id.size());
  crypto_sign_keypair(pair.publicKey.key.data(), pair.secretKey.key.data());
  pair.publicKey.id = pair.secretKey.id;
  return pair;
}

std::string keyIdText(const KeyId& id) {
  std::string out;
  for (auto it = id.rbegin(); it != id.rend(); ++it) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", *it);
    out += digits;
  }
  return out;
}

std::string publicKeyFile(const PublicKey& key) {
  Bytes raw(keyAlgorithm.begin(), keyAlgorithm.end());
  raw.insert(raw.end(), key.id.begin(), key.id.end());
  raw.insert(raw.end(), key.key.begin(), key.key.end());
  return std::string(commentPrefix) + "minisign public key " + keyIdText(key.id) + "\n" +
         base64(raw.data(), raw.size()) + "\n";
}

std::string secretKeyFile(const SecretKey& key) {
  ensureSodium();
  Bytes raw(secretKeyBytes, 0);
  std::copy(keyAlgorithm.begin(), keyAlgorithm.end(), raw.begin());
  std::copy(checksumAlgorithm.begin(), checksumAlgorithm.end(), raw.begin() + 4);
  std::copy(key.id.begin(), key.id.end(), raw.begin() + secretIdOffset);
  std::copy(key.key.begin(), key.key.end(), raw.begin() + secretIdOffset + 8);
  auto sum = secretChecksum(key);
  std::copy(sum.begin(), sum.end(), raw.begin() + checksumOffset);
  std::string file = std::string(commentPrefix) + "minisign unencrypted secret key " + keyIdText(key.id) + "\n" +
                     base64(raw.data(), raw.size()) + "\n";
  sodium_memzero(raw.data(), raw.size());
  return file;
}

std::optional<PublicKey> parsePublicKey(std::string_view text) {
  auto all = lines(text);
  if (!all.empty() && all.front().starts_with(commentPrefix)) all.erase(all.begin());
  if (all.size() != 1) return std::nullopt;
  auto raw = unbase64(all.front(), 2 + 8 + 32);
  if (!raw || !std::equal(keyAlgorithm.begin(), keyAlgorithm.end(), raw->begin())) return std::nullopt;
  PublicKey key;
  std::copy_n(raw->begin() + 2, key.id.size(), key.id.begin());
  std::copy_n(raw->begin() + 10, key.key.size(), key.key.begin());
  return key;
}

std::optional<SecretKey> parseSecretKey(std::string_view text) {
  ensureSodium();
  auto all = lines(text);
  if (all.size() != 2 || !all.front().starts_with(commentPrefix)) return std::nullopt;
  auto raw = unbase64(all.back(), secretKeyBytes);
  if (!raw) return std::nullopt;
  const bool layout = std::equal(keyAlgorithm.begin(), keyAlgorithm.end(), raw->begin()) && (*raw)[2] == 0 &&
                      (*raw)[3] == 0 &&
                      std::equal(checksumAlgorithm.begin(), checksumAlgorithm.end(), raw->begin() + 4);
  SecretKey key;
  std::copy_n(raw->begin() + secretIdOffset, key.id.size(), key.id.begin());
  std::copy_n(raw->begin() + secretIdOffset + 8, key.key.size(), key.key.begin());
  auto stored = raw->begin() + checksumOffset;
  auto expected = secretChecksum(key);
  const bool zero = std::all_of(stored, raw->end(), [](std::uint8_t b) { return b == 0; });
  const bool summed = std::equal(expected.begin(), expected.end(), stored);
  // The seed must give the public half stored after it, or signatures would
  // not verify with the matching public key.
  std::array<std::uint8_t, 32> pub{};
  std::array<std::uint8_t, 64> derived{};
  crypto_sign_seed_keypair(pub.data(), derived.data(), key.key.data());
  const bool consistent = sodium_memcmp(derived.data(), key.key.data(), derived.size()) == 0;
  sodium_memzero(derived.data(), derived.size());
  sodium_memzero(raw->data(), raw->size());
  if (!layout || !(zero || summed) || !consistent) {
    sodium_memzero(key.key.data(), key.key.size());
    return std::nullopt;
  }
  return key;
}

Signature sign(const SecretKey& key, std::string_view message, std::string_view trustedComment,
               std::string_view untrustedComment) {
  Signature signature;
  signature.keyId = key.id;
  signature.untrustedComment = oneLine(untrustedComment);
  signature.trustedComment = oneLine(trustedComment);
  auto hash = blake2b512(message);
  crypto_sign_detached(signature.signature.data(), nullptr, hash.data(), hash.size(), key.key.data());
  auto global = globalMessage(signature);
  crypto_sign_detached(signature.globalSignature.data(), nullptr, global.data(), global.size(), key.key.data());
  return signature;
}

std::string signatureFile(const Signature& signature) {
  Bytes raw(hashedAlgorithm.begin(), hashedAlgorithm.end());
  raw.insert(raw.end(), signature.keyId.begin(), signature.keyId.end());
  raw.insert(raw.end(), signature.signature.begin(), signature.signature.end());
  return std::string(commentPrefix) + signature.untrustedComment + "\n" + base64(raw.data(), raw.size()) + "\n" +
         std::string(trustedPrefix) + signature.trustedComment + "\n" +
         base64(signature.globalSignature.data(), signature.globalSignature.size()) + "\n";
}

std::optional<Signature> parseSignature(std::string_view text) {
  auto all = lines(text);
  if (all.size() != 4 || !all[0].starts_with(commentPrefix) || !all[2].starts_with(trustedPrefix)) {
    return std::nullopt;
  }
  auto raw = unbase64(all[1], 2 + 8 + 64);
  auto global = unbase64(all[3], 64);
  if (!raw || !global || !std::equal(hashedAlgorithm.begin(), hashedAlgorithm.end(), raw->begin())) {
    return std::nullopt;
  }
  Signature signature;
  signature.untrustedComment = all[0].substr(commentPrefix.size());
  signature.trustedComment = all[2].substr(trustedPrefix.size());
  std::copy_n(raw->begin() + 2, signature.keyId.size(), signature.keyId.begin());
  std::copy_n(raw->begin() + 10, signature.signature.size(), signature.signature.begin());
  std::copy(global->begin(), global->end(), signature.globalSignature.begin());
  return signature;
}

SignatureCheck checkSignature(const Signature& signature, const PublicKey& key, std::string_view message) {
  if (signature.keyId != key.id) return SignatureCheck::otherKey;
  auto hash = blake2b512(message);
  if (crypto_sign_verify_detached(signature.signature.data(), hash.data(), hash.size(), key.key.data()) != 0) {
    return SignatureCheck::badSignature;
  }
  auto global = globalMessage(signature);
  if (crypto_sign_verify_detached(signature.globalSignature.data(), global.data(), global.size(), key.key.data()) !=
      0) {
    return SignatureCheck::badTrustedComment;
  }
  return SignatureCheck::ok;
}

}  // namespace qx::signature
