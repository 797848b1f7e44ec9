// history_answers.h - the answers to the history and statistics requests.
#pragma once

#include <cstdint>

#include "client/cms_client.h"

namespace cms::core {

// Command 41: one page of the change history from the number in `from`.
void AnswerHistory(const char* from, CMSPacket* response);
// Command 42: the statistics lines from the line number in `from`.
void AnswerStats(const char* from, CMSPacket* response);

// The one line that says the daemon is up: parameters, files, the time the
// start took and where it listens.
void LogStartUp(uint16_t port);
// One warning line per line of the configuration tree that the loader
// skipped, found doubled or may have misread.
void WarnAboutTree();

}  // namespace cms::core
