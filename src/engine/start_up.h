// What both front ends do once they hold the single-instance lock and the monitor exists, before
// the proxy listens: clear what a killed run left behind, and say where the hash list's
// problems and the local authority's notices go.
#pragma once

#include <string>

#include "model/hash_list.h"
#include "model/tx_config.h"
#include "monitor/monitor.h"

namespace trovanex {

class HttpsOpening;

// Removes the temporary files ("tx" + four hexadecimal digits + ".tmp") left in the program
// folder, and says how many in one log line; nothing is logged when there were none.
void RemoveStaleCaptures(const std::string& program_folder, Monitor& monitor);

// A hash list that cannot be read is reported in the log and the message panel.
void ReportHashListProblems(THashList& hash_list, Monitor& monitor);

// Notices about the local certificate authority that are no failure (it ends within 30 days:
// its file, its end date, and what to do) go to the log and the message panel, once, when the
// authority is opened: at start when HTTPS capture is on, else at its first use. The monitor
// must outlive `https`'s use of it (the front ends keep both until the end).
void ReportHttpsNotices(HttpsOpening& https, Monitor& monitor);

// The proxy could not listen. When the system refused the port for a lack of rights, the
// settings file is written first, so that its ListenPort line is there to change, and the
// message says which file and line. Returns the text to show.
std::string ListenFailureMessage(const std::exception& failure, const TTxConfig& settings,
                                 const std::string& program_folder,
                                 const std::string& settings_path);

}  // namespace trovanex
