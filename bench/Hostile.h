#pragma once

// fenwhit and htpdate against servers that misbehave: they never answer, drip, send without end
// or send junk. Neither program has a time to take from any of them, so each should end, keep
// its memory in bounds and leave the clock alone. And the other way round: tidewell-timepage
// against clients that misbehave at volume, while a normal client keeps asking for its page.

#include <chrono>
#include <string>

#include "Process.h"

namespace tidewell::bench {

struct HostileOptions {
  std::chrono::seconds killAfter{45};  // a run still going then is killed: "did not end"
  // Peak memory of fenwhit on a normal run, from the accuracy runs; 0 when unknown.
  long normalRssKb = 0;
};

// Runs every case and returns the section of the report.
std::string RunHostile(const Tools& tools, const Scratch& scratch, const HostileOptions& options);

struct HostileClientOptions {
  int clients = 2000;         // misbehaving connections per case
  int spreadSeconds = 3;      // over which they are opened, in even batches
  int probes = 5;             // requests of the normal client, one a second
  unsigned floodFiles = 256;  // the server's limit on open files in the descriptor flood
};

// tidewell-timepage against misbehaving clients; returns the section of the report.
std::string RunHostileClients(const Tools& tools, const Scratch& scratch,
                              const HostileClientOptions& options);

}  // namespace tidewell::bench
