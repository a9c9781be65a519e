// `shadowctl run`: the switch agent's part, played on simulated chips.
//
// Creates every table of the plug-in's catalogue for one chip revision (the
// plug-in tables through their registered table factories, the standalone
// ones through their free factories) under one table manager, adds a shadow
// per chip (instance 0), which writes each table's default contents,
// downloads every shadow to a chip simulator that holds those chips, and
// checks that each chip's memories and registers hold what the shadow says.
// It reports per shadow: its entries, its collection path, the download's
// bulk and single commands, the entries the chip wrote and the check. With
// `clear` it then clears every shadow and checks that the chips read zeros.
// With `audit` it reads every shadow's chip back through the table's reader
// and reports what differs (after `corrupt` has flipped a bit in that many
// random chip entries), and with `repair` writes those keys again.
// Then it drops the shadows and tables and removes the collection directories
// it made; with `serve` it first keeps them mounted until SIGINT, SIGTERM or
// SIGHUP, so that other processes can read them (`shadowctl dump DIR`).
#pragma once

#include <iosfwd>

#include "PluginHost.h"
#include "RunOptions.h"

namespace shadowctl {

// Returns the process exit status: 0 after a complete run, 1 after bad input
// or a failure on the way (the message printed on `err`), 2 when a chip does
// not hold what its shadow says (after the download or the clear, or
// differences the audit leaves), 130 when a stop
// signal cut a run without `serve` short. Whatever was created is torn down
// and the directories the run made are removed in every case.
int runTables(const PluginHost& host, const RunRequest& request, std::ostream& out, std::ostream& err);

}  // namespace shadowctl
