#include "HostCore/HostOutputScanner.h"

#include <gtest/gtest.h>

namespace qx {
namespace {

using Problem = HostOutputScanner::Problem;

TEST(ScannerUpdateRequest, RecordsTheTokenUpToWhiteSpace) {
  HostOutputScanner s;
  EXPECT_TRUE(s.scan("[update] install requested 1.4.0"));
  EXPECT_EQ(s.updateRequest(), "1.4.0");
  EXPECT_TRUE(s.scan("server: [update] install requested 1.5.0 (device)"));
  EXPECT_EQ(s.updateRequest(), "1.5.0");
  // Unicode white space ends the token too (no-break space, ideographic space).
  EXPECT_TRUE(s.scan("[update] install requested 2.0\xC2\xA0tail"));
  EXPECT_EQ(s.updateRequest(), "2.0");
  EXPECT_TRUE(s.scan("[update] install requested 2.1\xE3\x80\x80tail"));
  EXPECT_EQ(s.updateRequest(), "2.1");
  // Even the same version again is recorded and reported.
  EXPECT_TRUE(s.scan("[update] install requested 2.1"));
  // The rule wins over the others on the same line.
  EXPECT_TRUE(s.scan("[update] install requested 3.0 address already in use"));
  EXPECT_EQ(s.updateRequest(), "3.0");
  EXPECT_EQ(s.problem(), std::nullopt);
}

TEST(ScannerUpdateRequest, EmptyTokenFallsThroughToTheOtherRules) {
  HostOutputScanner s;
  EXPECT_FALSE(s.scan("[update] install requested "));
  EXPECT_TRUE(s.scan("[update] install requested  connected clients: 4"));
  EXPECT_EQ(s.connectedClients(), 4);
  EXPECT_TRUE(s.scan("[update] install requested \taddress already in use"));
  EXPECT_EQ(s.problem(), Problem::portInUse);
  EXPECT_FALSE(s.scan("[update] install requested"));  // no trailing space: not the marker
  EXPECT_EQ(s.updateRequest(), std::nullopt);
}

TEST(ScannerUpdateRequest, SurvivesRestartAndIsTakenOnce) {
  HostOutputScanner s;
  ASSERT_TRUE(s.scan("[update] install requested 1.4.0"));
  ASSERT_TRUE(s.scan("connected clients: 2"));
  ASSERT_TRUE(s.scan("address already in use"));
  s.hostStarted();
  EXPECT_EQ(s.problem(), std::nullopt);
  EXPECT_EQ(s.connectedClients(), 0);
  EXPECT_EQ(s.takeUpdateRequest(), "1.4.0");
  EXPECT_EQ(s.takeUpdateRequest(), std::nullopt);
  EXPECT_EQ(s.updateRequest(), std::nullopt);
}

TEST(ScannerProblems, PortInUseIsCaseSensitiveAndReportsOnlyChanges) {
  HostOutputScanner s;
  EXPECT_FALSE(s.scan("Address already in use"));
  EXPECT_EQ(s.problem(), std::nullopt);
  EXPECT_TRUE(s.scan("listen tcp :8771: bind: address already in use"));
  EXPECT_EQ(s.problem(), Problem::portInUse);
  EXPECT_FALSE(s.scan("listen tcp :8771: bind: address already in use"));
  // The problem decides the line; the count on it is left alone.
  EXPECT_FALSE(s.scan("address already in use, connected clients: 3"));
  EXPECT_EQ(s.connectedClients(), 0);
}

TEST(ScannerProblems, CaptureStartClearsOnlyTheScreenRecordingProblem) {
  HostOutputScanner s;
  EXPECT_FALSE(s.scan("quorvex-screencap: capturing display 1"));
  EXPECT_TRUE(s.scan("quorvex-screencap: Screen Recording permission missing"));
  EXPECT_EQ(s.problem(), Problem::screenRecordingDenied);
  EXPECT_FALSE(s.scan("quorvex-screencap: Screen Recording permission missing"));
  EXPECT_TRUE(s.scan("quorvex-screencap: capturing display 1"));
  EXPECT_EQ(s.problem(), std::nullopt);

  ASSERT_TRUE(s.scan("address already in use"));
  EXPECT_FALSE(s.scan("quorvex-screencap: capturing display 1"));
  EXPECT_EQ(s.problem(), Problem::portInUse);
  EXPECT_TRUE(s.scan("Screen Recording permission missing"));
  EXPECT_EQ(s.problem(), Problem::screenRecordingDenied);
}

TEST(ScannerProblems, CaptureLineDecidesBeforeTheClientCount) {
  HostOutputScanner s;
  EXPECT_FALSE(s.scan("quorvex-screencap: capturing display 1; connected clients: 5"));
  EXPECT_EQ(s.connectedClients(), 0);
  // Without the helper's name the line is not a capture start.
  EXPECT_TRUE(s.scan("capturing stopped; connected clients: 5"));
  EXPECT_EQ(s.connectedClients(), 5);
}

TEST(ScannerClients, ReadsAsciiCountsAndReportsChanges) {
  HostOutputScanner s;
  EXPECT_TRUE(s.scan("connected clients: 2"));
  EXPECT_EQ(s.connectedClients(), 2);
  EXPECT_FALSE(s.scan("connected clients: 2"));
  EXPECT_TRUE(s.scan("connected clients: 0"));
  EXPECT_TRUE(s.scan("[server] connected clients: 12 devices"));
  EXPECT_EQ(s.connectedClients(), 12);
  EXPECT_TRUE(s.scan("connected clients: 7x"));
  EXPECT_EQ(s.connectedClients(), 7);
  EXPECT_TRUE(s.scan("connected clients: 9223372036854775807"));
  EXPECT_EQ(s.connectedClients(), INT64_MAX);
}

TEST(ScannerClients, MalformedCountsChangeNothing) {
  HostOutputScanner s;
  ASSERT_TRUE(s.scan("connected clients: 3"));
  const char* lines[] = {
      "connected clients: x",
      "connected clients: ",
      "connected clients:3",
      "connected clients: -1",
      "connected clients: +4",
      "connected clients: 123456789012345678901234567890",
      "connected clients: 9223372036854775808",
      "Connected clients: 4",
      "connected clients: 4\xE4\xBA\x94",  // 五 is numeric, so the run is "4五"
      "connected clients: \xD9\xA4",       // Arabic-Indic four
      "connected clients: \xC2\xBD",       // vulgar fraction one half
      "connected clients: 4\xCC\x81",      // 4 + combining acute: one character
      "connected clients: \xEF\xBC\x94",   // fullwidth four
  };
  for (const char* line : lines) {
    SCOPED_TRACE(line);
    EXPECT_FALSE(s.scan(line));
    EXPECT_EQ(s.connectedClients(), 3);
  }
  // The first occurrence counts.
  EXPECT_FALSE(s.scan("connected clients: x connected clients: 5"));
  EXPECT_EQ(s.connectedClients(), 3);
}

TEST(ScannerOther, UnknownLinesAndInvalidBytesAreIgnored) {
  HostOutputScanner s;
  EXPECT_FALSE(s.scan(""));
  EXPECT_FALSE(s.scan("hello"));
  EXPECT_FALSE(s.scan("\xFF\xFE connected clients: \xFF"));
  EXPECT_TRUE(s.scan("\xFF connected clients: 1\xFF"));
  EXPECT_EQ(s.connectedClients(), 1);
  EXPECT_TRUE(s.scan("[update] install requested 1.0\xFF"));
  EXPECT_EQ(s.updateRequest(), "1.0\xEF\xBF\xBD");
}

}  // namespace
}  // namespace qx
