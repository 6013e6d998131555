#pragma once

// The update flow's texts, English and Chinese side by side, one small
// function per text, chosen by the controller's language.

#include <filesystem>
#include <optional>
#include <string>

#include "signature/bundle_signature.h"

namespace qx::host::texts {

std::string alertOK(bool zh);
std::string checkFailedTitle(bool zh);
std::string upToDateTitle(bool zh);
std::string upToDateText(const std::string& current, bool zh);
std::string updatePromptTitle(const std::string& latest, bool zh);
std::string updatePromptText(const std::string& current, bool zh);
std::string updateButton(bool zh);
std::string laterButton(bool zh);
std::string updaterReturnedNothing(int status, bool zh);
std::string folderNotWritable(bool zh);
std::string downloadReturnedNoApp(bool zh);
std::string noCachesFolder(bool zh);
// Followed by the error's description.
std::string replaceFailed(bool zh);

std::string summaryFailed(const std::string& message, bool zh);
std::string summaryChecking(bool zh);
std::string summaryDownloading(const std::string& version, bool zh);
std::string summaryInstalling(const std::string& version, bool zh);
std::string summaryAvailable(const std::string& version, bool zh);
// `time` is the time of day already formatted for the locale.
std::string summaryUpToDate(const std::string& time, bool zh);
std::string summaryNotChecked(bool zh);

std::string updateSignatureUnreadable(bool zh);
std::string updateSignatureInvalid(int status, bool zh);
std::string updateVersionMismatch(bool zh);

}  // namespace qx::host::texts

namespace qx::host {

// The user-visible message for a verdict, none when it is accepted.
std::optional<std::string> verdictMessage(const signature::BundleVerdict& verdict, bool chinese);

// None when the downloaded application at `app` is acceptable as version
// `expectedVersion`, otherwise the message to show.
std::optional<std::string> verifyBundle(const std::filesystem::path& app, const std::string& expectedVersion,
                                        const std::optional<signature::PublicKey>& pinned, bool chinese);

}  // namespace qx::host
