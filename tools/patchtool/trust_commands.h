// The patchtool commands for signed patch lists: keygen, sign and
// verify-list. See commands.h for where their output goes.
#pragma once

#include <string>
#include <vector>

#include "commands.h"

int RunKeygen(const std::vector<std::string>& words, const Console& console);
int RunSign(const std::vector<std::string>& words, const Console& console);
int RunVerifyList(const std::vector<std::string>& words, const Console& console);
