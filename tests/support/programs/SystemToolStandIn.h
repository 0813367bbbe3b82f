#pragma once

// What the stand-ins for the system's tools (netsh.exe, ipconfig.exe) share.
// Each run, with the tool's own two variables (for netsh ZAV_NETSH_RECORD and
// ZAV_NETSH_EXIT):
//   <TOOL>_RECORD  file: the whole command line is appended as one UTF-8 line;
//   <TOOL>_EXIT    comma-separated exit codes, one per recorded call, the last
//                  one for every later call (none: 0);
// and with the variables every tool reads:
//   ZAV_TOOL_RUNS      file: "start COMMANDLINE" when the run begins and
//                      "end COMMANDLINE" just before it exits, so one file
//                      shows the order and any overlap of every tool's runs
//                      (a run that was ended from outside has no "end");
//   ZAV_TOOL_SLEEP_MS  time to sleep between the two;
//   ZAV_TOOL_HOLD      a path: after the sleep, run N (counted from 0 by the
//                      "start" lines before its own) waits until the file
//                      named by the path followed by N exists (at most 20 s),
//                      so a test decides when each run ends;
//   ZAV_FOLDERS_RECORD its TMP, TEMP and current folder (SeenFolders.h).
int runSystemToolStandIn(const wchar_t* recordVariable, const wchar_t* exitVariable);
