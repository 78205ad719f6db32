#include "ui/desktop_integration.h"

namespace trovanex {
namespace {

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

const char* ChangeText(TrustChange::Kind kind) {
  switch (kind) {
    case TrustChange::Kind::kAdded:
      return "信頼しました";
    case TrustChange::Kind::kReplaced:
      return "以前の CA と入れ替えて信頼しました";
    case TrustChange::Kind::kAlready:
      return "すでに信頼しています";
    case TrustChange::Kind::kRemoved:
      return "信頼を取り消しました";
    case TrustChange::Kind::kNotThere:
      return "信頼していませんでした";
    case TrustChange::Kind::kFailed:
      break;
  }
  return "変更できません";
}

}  // namespace

DesktopIntegration::DesktopIntegration(DesktopProxySettings desktop, std::string home,
                                       std::string certificate_file, AuthorityReady authority_ready)
    : desktop_(std::move(desktop)),
      home_(std::move(home)),
      certificate_file_(std::move(certificate_file)),
      authority_ready_(std::move(authority_ready)) {}

std::string DesktopIntegration::SetSystemProxy(bool on) {
  std::string message;
  DesktopProxyOutcome outcome;
  if (on) {
    outcome = desktop_.PointAt(port_);
    if (!outcome.changed.empty())
      message = "デスクトップのプロキシを 127.0.0.1:" + std::to_string(port_) + " にしました (" +
                Joined(outcome.changed) + ")";
  } else {
    if (!desktop_.HasSaved()) return {};
    outcome = desktop_.PutBack();
    if (!outcome.changed.empty())
      message = "デスクトップのプロキシ設定を元に戻しました (" + Joined(outcome.changed) + ")";
  }
  if (!outcome.problems.empty()) message += (message.empty() ? "" : " / ") + outcome.Summary();
  return message;
}

std::string DesktopIntegration::ChangeBrowserTrust(bool trust) {
  MutexLock lock(trust_lock_);
  if (trust && authority_ready_) {
    if (const std::optional<std::string> problem = authority_ready_())
      return "ローカル CA を用意できません: " + *problem;
  }
  return TrustReport(trust ? TrustAuthority(home_, certificate_file_) : DistrustAuthority(home_),
                     trust);
}

std::string DesktopIntegration::TrustReport(const std::vector<TrustChange>& changes, bool trust) {
  if (changes.empty()) return "ブラウザの証明書データベースが見つかりません。";
  std::string text = trust ? "ブラウザの証明書データベースにローカル CA を追加しました。\n"
                           : "ブラウザの証明書データベースからローカル CA を取り除きました。\n";
  if (AnyFailed(changes)) text = "変更できなかったデータベースがあります。\n";
  for (const TrustChange& change : changes) {
    text += "\n" + change.database.browser + " " + change.database.folder + ": " +
            ChangeText(change.kind);
    if (!change.problem.empty()) text += " (" + change.problem + ")";
  }
  if (trust) text += "\n\n開いているブラウザは、起動し直すと新しい設定を読みます。";
  return text;
}

}  // namespace trovanex
