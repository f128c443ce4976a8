// mero results: the unit records a report directory keeps. --flush offers the
// records waiting in its spool to the database, as the next unit would.
#include <cstdio>

#include "MeroQc.h"
#include "qc/RecordDb.h"

namespace zav::mero {

namespace {

const char* const kHelp =
    "usage: mero results --flush [--report DIR] [--db URL]\n"
    "Puts the unit records waiting in DIR/spool (DIR: the current directory unless\n"
    "given) into the database: DIR/results.db unless --db names a PostgreSQL server\n"
    "(postgresql://USER@HOST[:PORT]/DB) or another SQLite file. A record already\n"
    "there is not stored twice. Prints how many went in and how many still wait.\n"
    "Exit status: 0 none waits, 1 some still wait (the reason on stderr), 2 bad\n"
    "arguments.\n";

}  // namespace

int RunResults(ArgReader& args) {
  Keeping keeping;
  bool flush = false;
  std::string word;
  while (NextOption(args, kHelp, word)) {
    if (word == "--flush")
      flush = true;
    else if (word == "--report")
      keeping.Dir = args.Value(word);
    else if (word == "--db")
      keeping.Db = args.Value(word);
    else
      throw UsageError("unexpected \"" + word + "\"");
  }
  if (!flush) throw UsageError("say what to do: --flush");
  CheckReportDir(keeping.Dir);
  const qc::SpoolOutcome out = qc::FlushSpool(keeping.Dir, keeping.Database());
  std::printf("%zu record%s stored, %zu already there, %zu waiting\n", out.Stored, out.Stored == 1 ? "" : "s",
              out.AlreadyThere, out.Waiting);
  if (out.Waiting == 0 && out.Problem.empty()) return kExitOk;
  std::fprintf(stderr, "mero: %s\n", out.Problem.c_str());
  return kExitFailed;
}

}  // namespace zav::mero
