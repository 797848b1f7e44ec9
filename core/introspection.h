// introspection.h - the answers to the history and statistics requests.
#pragma once

#include "client/cms_client.h"

namespace cms::core {

// Command 41: one page of the change history from the number in `from`.
void AnswerHistory(const char* from, CMSPacket* response);
// Command 42: the statistics lines from the line number in `from`.
void AnswerStats(const char* from, CMSPacket* response);

}  // namespace cms::core
