#include "update/version_check.h"

#include <QNetworkAccessManager>

#include "update/http_request.h"
#include "update/version_page.h"

namespace parvolane {

UpdateSettings DefaultUpdateSettings() {
  UpdateSettings settings;
  settings.webHost = PARVOLANE_WEB_HOST;
  settings.baseUrl = "http://" + settings.webHost;
  settings.installerBaseUrl = "https://" + settings.webHost;
  return settings;
}

bool CheckForNewVersion(UpdateSession& session, const UpdateSettings& settings) {
  // The check must never stand in the way of a start, whatever fails inside it.
  try {
    // One deadline for both pages: a server that trickles data never lets the time-outs fire.
    const QDeadlineTimer deadline(settings.checkDeadline);
    QNetworkAccessManager client;
    const auto versionPage = FetchPage(client, UpdateUrl(settings.baseUrl, kVersionPagePath),
                                       settings.readTimeout, deadline);
    if (!versionPage) return false;
    const std::string_view versionText(versionPage->constData(),
                                       static_cast<std::size_t>(versionPage->size()));
    if (SplitPageLines(versionText).empty()) return false;
    const auto changesPage = FetchPage(client, UpdateUrl(settings.baseUrl, kChangesPagePath),
                                       settings.readTimeout, deadline);
    if (!changesPage) return false;
    const std::string_view changesText(changesPage->constData(),
                                       static_cast<std::size_t>(changesPage->size()));
    auto notice = EvaluateVersionPages(versionText, changesText, settings.programVersionNumber);
    if (!notice) return false;
    if (notice->required) session.ExitAfterDialog = true;
    session.NewVersionMessage = std::move(notice->message);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace parvolane
