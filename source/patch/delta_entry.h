// Applying a delta entry (layout in package_format.h): judging its target,
// and making the new file from the old one as the delta is unpacked.
//
// The target is read whole, because the delta copies from anywhere in the old
// file; besides it, only the applier's block (delta_applier.h) and the
// stream's window are held, never the new file or the payload.
//
// Everything here runs on the thread that applies the package.
#pragma once

#include <string>

#include "patch/entry_stream.h"

// Checks a delta entry before any entry of its package is applied: true when
// `target` (resolved inside the root) already is the new file, or is the old
// file and the rest of the entry's data makes exactly the new file from it
// (its output hashed, not written). False for anything else: a missing file,
// other content, or a delta that is damaged or makes other bytes.
bool CheckDeltaEntry(const std::string& target, const DeltaPreamble& preamble,
                     EntryStream& entries);

// Applies a delta entry whose fields were read (ReadDeltaHead) to `target`:
// nothing to do when it already is the new file; when it is the old file, the
// new one is written beside it, hashed as it is written, and moved over it
// only when its digest is the recorded one (platform::ReplaceFile). False,
// with the target as it was, for anything else.
bool ApplyDeltaEntry(const std::string& target, const DeltaPreamble& preamble,
                     EntryStream& entries);
