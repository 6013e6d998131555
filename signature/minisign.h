#pragma once

// Keys and signatures in minisign's file formats, so that the stock tool
// verifies what we sign (`minisign -Vm FILE -p KEY.pub`) and signs with our
// keys. Only what minisign 0.11 writes by default is produced and accepted:
// Ed25519 keys, and signatures with algorithm "ED" (Ed25519 over the
// BLAKE2b-512 hash of the message) carrying a trusted comment and its global
// signature. Secret keys are stored unencrypted.
// Pure functions over bytes; safe on any thread.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qx::signature {

// Random 8 bytes chosen at key generation; a signature names its key by it.
using KeyId = std::array<std::uint8_t, 8>;

struct PublicKey {
  KeyId id{};
  std::array<std::uint8_t, 32> key{};
  bool operator==(const PublicKey&) const = default;
};

struct SecretKey {
  KeyId id{};
  std::array<std::uint8_t, 64> key{};  // libsodium's Ed25519 secret key: seed, then public key
  PublicKey publicKey() const;
};

struct KeyPair {
  PublicKey publicKey;
  SecretKey secretKey;
};

KeyPair generateKeyPair();

// The id as minisign prints it: 16 upper-case hex digits of the bytes read
// as a little-endian number.
std::string keyIdText(const KeyId& id);

// "untrusted comment: minisign public key <ID>" and the base64 line.
std::string publicKeyFile(const PublicKey& key);
// An unencrypted secret key in minisign's layout, with its checksum.
std::string secretKeyFile(const SecretKey& key);

// A public key file, or its base64 line alone (minisign -P). Absent for
// anything else.
std::optional<PublicKey> parsePublicKey(std::string_view text);
// An unencrypted secret key file (ours, or `minisign -G -W`, which leaves the
// checksum zero). Absent for encrypted keys, a wrong checksum or a seed that
// does not give the stored public key.
std::optional<SecretKey> parseSecretKey(std::string_view text);

struct Signature {
  KeyId keyId{};
  std::array<std::uint8_t, 64> signature{};  // over BLAKE2b-512 of the message
  std::string untrustedComment;
  std::string trustedComment;
  std::array<std::uint8_t, 64> globalSignature{};  // over signature || trusted comment
};

// Comments are single lines: line breaks in them become spaces.
Signature sign(const SecretKey& key, std::string_view message, std::string_view trustedComment,
               std::string_view untrustedComment);
std::string signatureFile(const Signature& signature);
// The four lines of a signature file; absent for anything else, including
// signatures of another algorithm.
std::optional<Signature> parseSignature(std::string_view text);

enum class SignatureCheck {
  ok,
  otherKey,           // made with a key of another id
  badSignature,       // the message or the signature was changed
  badTrustedComment,  // the trusted comment or its signature was changed
};
SignatureCheck checkSignature(const Signature& signature, const PublicKey& key, std::string_view message);

}  // namespace qx::signature
