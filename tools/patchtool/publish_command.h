// The patchtool command that turns a folder of release trees into an update
// site in one step: publish. It builds the package from each release to the
// next that the site lacks, writes the patch list with every package's digest,
// signs it when given a key, and prints an nginx server block for the site.
// See commands.h for where its output goes.
#pragma once

#include <string>
#include <vector>

#include "commands.h"

int RunPublish(const std::vector<std::string>& words, const Console& console);
