// The post-update script: a batch file a package may deliver into the
// installation root, run once after that package's entries were applied.
#pragma once

#include <string>

inline constexpr const char* kPostUpdateScriptName = "Special.bat";

// How long the updater waits for the script. A script that stays in the
// foreground (it starts a service, or the main application) would otherwise
// hold the updater for good after Cancel is gone: no notice, no relaunch.
inline constexpr int kPostUpdateScriptWaitSeconds = 60;

// When "Special.bat" can be opened in `installRoot`, runs it hidden from the
// user, with the installation root as its working directory (the script names
// the installation's files relative to it), and waits for it to end, at most
// kPostUpdateScriptWaitSeconds, then deletes it. Deleting it only after it
// ended keeps the interpreter from losing the rest of a script it is still
// reading; a script still running at the limit keeps running from the file it
// has open. Nothing is reported: the script's exit status is ignored, and a
// script that cannot be deleted stays and is run again after the next
// package.
void RunPostUpdateScriptIfPresent(const std::string& installRoot);
