// The demultiplexer's diagnostic lines and where one call sends them: the process's standard
// output (the default), nowhere, or a string the caller owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace plexo::ts {

struct TsDemuxResult;
struct ScanTotals;
struct ProgrammeStreams;
struct LeftOutStream;

class DiagnosticSink {
 public:
  // Every line is written whole, with one write(2), to file descriptor 1.
  static DiagnosticSink standard_output() { return DiagnosticSink(Target::kStandardOutput, nullptr); }
  static DiagnosticSink discard() { return DiagnosticSink(Target::kNone, nullptr); }
  // Lines are appended to `*lines`, each with its newline; the string must outlive the call.
  static DiagnosticSink collect(std::string* lines) { return DiagnosticSink(Target::kString, lines); }

  void write_line(const char* line, std::size_t length) const;

 private:
  enum class Target { kStandardOutput, kNone, kString };
  DiagnosticSink(Target target, std::string* lines) : target_(target), lines_(lines) {}
  Target target_;
  std::string* lines_;
};

// The chosen PIDs ("none" for a stream the programme lacks), the other audio streams it
// converts, and every stream it leaves out, with why.
void report_programme(const DiagnosticSink& sink, const ProgrammeStreams& streams);
void report_left_out(const DiagnosticSink& sink, const LeftOutStream& left);
void report_totals(const DiagnosticSink& sink, const TsDemuxResult& result, const ScanTotals& totals);

}  // namespace plexo::ts
