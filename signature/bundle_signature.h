#pragma once

// The code signature of an application bundle on Linux. The bundle carries
// it in Contents/_CodeSignature/: a manifest naming the identifier, the
// signing team and every other entry of the bundle, and the manifest's
// signature in minisign's format (minisign.h). An update is acceptable when
// the pinned key signed it, it is ours (identifier and team), the bundle
// holds exactly what the manifest lists, and its version is the expected one.
// Everything here is a free function over the file system, safe on any
// thread; the update flow calls the verifier off the main thread.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "signature/minisign.h"

namespace qx::signature {

inline constexpr std::string_view bundleIdentifier = "com.quorvex.host";
inline constexpr std::string_view signingTeam = "K3T9QW7ZPD";
// Relative to the bundle; the directory is not listed in its own manifest.
inline constexpr std::string_view signatureDirectory = "Contents/_CodeSignature";
inline constexpr std::string_view manifestName = "manifest";
// minisign looks for "<file>.minisig" by default.
inline constexpr std::string_view manifestSignatureName = "manifest.minisig";

struct ManifestEntry {
  enum class Kind { file, directory, link };
  Kind kind = Kind::file;
  std::string path;         // relative to the bundle, '/'-separated, no "." or ".."
  std::string sha256;       // file: 64 lower-case hex digits
  bool executable = false;  // file: the owner's execute bit
  std::string target;       // link: as stored, relative and without ".."
  bool operator==(const ManifestEntry&) const = default;
};

struct Manifest {
  std::string identifier;
  std::string team;
  std::vector<ManifestEntry> entries;  // sorted by path (bytewise), no duplicates
  bool operator==(const Manifest&) const = default;
};

// The manifest's text: a header line, the identifier, the team, then one
// line per entry. Fields are separated by single spaces; bytes outside
// '!'..'~' and '%' itself are written as %XX.
std::string formatManifest(const Manifest& manifest);
// Absent unless the text is exactly what formatManifest writes for some
// manifest whose paths and link targets are acceptable.
std::optional<Manifest> parseManifest(std::string_view text);

// Why a signature is invalid; the number appears in the message. Each
// reason has its own value (listed in docs/code-signature.md).
enum class SignatureStatus : int {
  ok = 0,
  noKeyPinned = -1,         // the build pins no update key
  missingSignature = -2,    // no manifest or no signature file
  malformedSignature = -3,  // not a minisign signature with algorithm "ED"
  otherKey = -4,            // signed with a key other than the pinned one
  badSignature = -5,        // the signature does not match the manifest
  badTrustedComment = -6,   // the trusted comment does not match its signature
  malformedManifest = -7,   // signed, but not a manifest we write
  wrongIdentifier = -8,
  wrongTeam = -9,
  fileChanged = -10,        // a file's content differs
  entryAdded = -11,         // a file or directory the manifest does not list
  entryRemoved = -12,       // an entry the manifest lists is missing
  executableChanged = -13,  // a file's execute bit differs
  linkAdded = -14,          // a link where the manifest has none (new, or replacing a file or directory)
  linkChanged = -15,        // a link whose target differs
  linkAbsolute = -16,       // a link to an absolute path
  linkThroughParent = -17,  // a link whose target has a ".." component
  specialFile = -18,        // neither a regular file, a directory nor a link (FIFO, socket, device)
  kindChanged = -19,        // a file where the manifest has a directory or a link, or the reverse
  unreadableEntry = -20,    // an entry of the bundle that cannot be opened or read
};

struct BundleVerdict {
  enum class Step {
    accepted,
    unreadable,       // the bundle, its manifest or its signature cannot be read
    invalid,          // `status` says why
    versionMismatch,  // Contents/Info.plist's CFBundleShortVersionString
  };
  Step step = Step::accepted;
  SignatureStatus status = SignatureStatus::ok;
  bool operator==(const BundleVerdict&) const = default;
};

// The checks in order, the first failing one decides. Without a pinned key
// every bundle is invalid (noKeyPinned). Without `expectedVersion` the
// version is not checked. Links are never followed and nothing but regular
// files is opened.
BundleVerdict checkBundle(const std::filesystem::path& app, const std::optional<std::string>& expectedVersion,
                          const std::optional<PublicKey>& pinned);

// The key this build pins (the QX_UPDATE_PUBLIC_KEY build option), absent
// when none is pinned.
std::optional<PublicKey> pinnedUpdateKey();

// One entry as a walk over the bundle saw it. The walk lists each
// directory's names sorted bytewise, a directory before what it holds;
// links are never followed and nothing but regular files is opened. It
// stops at the first entry it cannot describe, which then comes last with
// its `problem`. The signature directory comes with its own state (ok, or
// entryAdded when it holds more than the manifest and its signature, or
// unreadableEntry) and the walk goes on past it.
struct ScannedEntry {
  ManifestEntry entry;
  SignatureStatus problem = SignatureStatus::ok;
  // With a problem: whether `entry` has its kind (and a file its execute
  // bit), so that the manifest is consulted before the problem decides.
  bool described = true;
  std::string error;  // with a problem: what went wrong, in words for the signer
};

// The manifest against a walk: the first difference in walk order decides,
// then entryRemoved when the walk missed an entry the manifest lists.
SignatureStatus compareScan(const Manifest& manifest, const std::vector<ScannedEntry>& scan);

// What the bundle holds now, with our identifier and team, or why it cannot
// be signed (an entry that is neither file, directory nor link, a link out
// of the bundle, an unreadable file).
std::variant<Manifest, std::string> scanBundle(const std::filesystem::path& app);
// Writes `manifest` and its signature into Contents/_CodeSignature. None on
// success, otherwise what went wrong.
std::optional<std::string> writeBundleSignature(const std::filesystem::path& app, const Manifest& manifest,
                                                const SecretKey& key);
// scanBundle, then writeBundleSignature.
std::optional<std::string> signBundle(const std::filesystem::path& app, const SecretKey& key);

// The string value of `key` in an XML property list, absent when missing or
// not a string.
std::optional<std::string> infoPlistString(std::string_view xml, std::string_view key);
// infoPlistString of CFBundleShortVersionString.
std::optional<std::string> infoPlistVersion(std::string_view xml);
// The version the Info.plist file at `path` names; "dev" when the file is
// missing, unreadable or names none. The host and the server report it alike.
std::string installedVersion(const std::filesystem::path& path);

}  // namespace qx::signature
