#pragma once

#include "DownloadCases.h"
#include "ScriptedHttpServer.h"

namespace tidewell::test {

// The reply that sends a case's page as its delivery says.
ScriptedReply DownloadReply(const DownloadCase& downloadCase);

// Serves the page of every case at "/<name>".
void ServeDownloadPages(ScriptedHttpServer& server);

}  // namespace tidewell::test
