#include "engine/start_up.h"

#include <gtest/gtest.h>

#include "engine/https_opening.h"
#include "support/recording_views.h"
#include "support/temp_folder.h"
#include "tls/authority_files.h"

namespace trovanex {
namespace {

using testing::RecordingMonitorViews;
using testing::RecordingStatusView;

// The messages shown in the panel that are warnings.
std::vector<std::string> ShownWarnings(const RecordingMonitorViews& views) {
  std::vector<std::string> warnings;
  for (const std::string& text : views.status.History(RecordingStatusView::kMessagePanel))
    if (text.rfind("Warning: ", 0) == 0) warnings.push_back(text);
  return warnings;
}

// An authority that ends within 30 days is still used, and said once where the user looks: the
// log and the message panel (standard error for trovanexd), with its file, its end and what to
// do. With HTTPS capture on that is at start, on the thread that opens the authority; a notice
// found before its report was set waits for it.
TEST(StartUpTest, AuthorityEndingSoonIsUsedAndReportedOnce) {
  for (const bool capture_on : {true, false}) {
    SCOPED_TRACE(capture_on ? "opened at start" : "opened before the report was set");
    testing::TempFolder folder;
    testing::WriteAuthority(folder, testing::Days(10));
    RecordingMonitorViews views;
    Monitor monitor(views.Views(), false);
    {
      HttpsOpening https(folder.path());
      if (capture_on) {
        ReportHttpsNotices(https, monitor);
        https.PrepareAhead(true, "");
        // Before any connection asks for the authority.
        ASSERT_TRUE(views.status.WaitForCount(RecordingStatusView::kMessagePanel, 1));
      } else {
        EXPECT_TRUE(https.Ready().usable);
        ReportHttpsNotices(https, monitor);
      }
      const HttpsReadiness readiness = https.Ready();
      EXPECT_TRUE(readiness.usable);
      EXPECT_FALSE(readiness.to_report);
      EXPECT_NE(https.CaCertificatePem(), "");
      ReportHttpsNotices(https, monitor);
    }  // waits for the thread that opens the authority
    const std::vector<std::string> lines = views.log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string certificate = folder / "trovanex-ca.crt";
    EXPECT_EQ(
        lines[0].rfind("Warning: " + certificate + ": the local certificate authority ends on ", 0),
        0u)
        << lines[0];
    EXPECT_NE(lines[0].find("delete " + certificate + " and " + (folder / "trovanex-ca.key")),
              std::string::npos)
        << lines[0];
    // The panel's timer may clear it in between; the message was shown once.
    EXPECT_EQ(ShownWarnings(views),
              std::vector<std::string>{"Warning: ローカル認証局の有効期限が近づいています (" +
                                       lines[0].substr(9) + ")"});
  }
}

}  // namespace
}  // namespace trovanex
