// Starting another program of the suite (the indexer starts the panel; the
// band starts it when none runs).
#pragma once

#include <string>
#include <vector>

#include "platform/hresult.h"

// Starts `program` (a path, not searched in PATH) with `args` after argv[0],
// which is `program` itself. The new process inherits the environment and the
// current directory, and nothing else: it runs in a session of its own (so a
// signal to the starter's terminal or process group does not reach it), with
// no signal blocked or ignored, and with only descriptors 0, 1 and 2 open. It
// is not a child of the caller, so no zombie is ever left and the caller
// never waits for it.
//
// S_OK when the program was started; otherwise HresultFromErrno of the
// failure (ENOENT, EACCES, ENOEXEC, ... as exec reports it), or E_INVALIDARG
// for an empty `program`.
//
// Threads: any thread. The caller must not reap children with waitpid(-1) on
// another thread at the same time (it could take the short-lived helper
// process this function waits for).
[[nodiscard]] HRESULT StartProcess(const std::string& program,
                                   const std::vector<std::string>& args);
