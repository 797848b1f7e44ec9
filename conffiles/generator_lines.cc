// generator_lines.cc - whole-line reading and writing for the generators.
#include "conffiles/generator_lines.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/log.h"

namespace cms::conffiles {

LineStatus ReadWholeLine(FILE* in, size_t limit, std::string* line) {
  line->clear();
  size_t raw = 0;
  bool bad = false;
  bool any = false;
  for (int c = getc(in); c != EOF; c = getc(in)) {
    any = true;
    ++raw;
    if (c == '\n') break;
    if (c == '\0') bad = true;
    if (raw > limit) bad = true;
    if (!bad) line->push_back(static_cast<char>(c));
  }
  if (!any) return LineStatus::kEnd;
  if (raw > limit) bad = true;  // the line feed itself went over the limit
  if (!line->empty() && line->back() == '\r') line->pop_back();
  if (bad) {
    line->clear();
    return LineStatus::kSkip;
  }
  return LineStatus::kLine;
}

void WriteWholeLine(FILE* out, const std::string& text) {
  fwrite(text.data(), 1, text.size(), out);
  fputc('\n', out);
}

void ReportGeneratorFailure(const char* dst, int err) {
  platform::ReportFailure(("could not write " + std::string(dst)).c_str(), err,
                          stdout);
}

MemoryOut::~MemoryOut() {
  if (f_ != nullptr) fclose(f_);
  free(data_);
}

bool MemoryOut::Take(std::string* text) {
  const bool ok = f_ != nullptr && ferror(f_) == 0 && fclose(f_) == 0;
  f_ = nullptr;
  if (ok) text->assign(data_ != nullptr ? data_ : "", size_);
  return ok;
}

}  // namespace cms::conffiles
