// Stand-in programs for process tests: a shell script, put first on PATH under the
// name of the real tool, that records the arguments of every call and then runs a
// tail of its own; and the reader of what it recorded.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

typedef std::vector<std::string> Args;

// Writes an executable stand-in to strPath (a test assertion checks that). Each call
// appends "CALL <argc>" and one "<length>:<argument>" line per argument (lengths,
// because arguments may hold line feeds) to $STANDIN_DIR/<its file name>.log, then
// runs the shell text strTail with the same arguments.
void WriteStandIn(const std::string &strPath, const std::string &strTail);

// The calls recorded in the log strLog, in order, each as its argument list; none
// when the file is missing. A malformed record is a test failure.
std::vector<Args> ReadCalls(const std::string &strLog);

}  // namespace testsupport
