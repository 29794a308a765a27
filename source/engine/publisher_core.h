// What the updater's core and the publisher's tool (tools/patchtool) share.
//
// patchtool builds, reads, checks and places packages and patch lists with
// the very code the updater runs, never with copies of it: a package the
// tool reads cleanly is one the updater accepts, a digest it writes into a
// record is taken as the updater takes the one it compares, and a version it
// finds in a release tree is the version an installation of that tree would
// report. This header names that shared layer; the tool reaches the core
// through it alone, so what the two have in common is visible in one place.
#pragma once

// Versions: their text form, and the version a version file's text gives.
#include "engine/version_file.h"
#include "vocabulary/packed_version.h"

// Patch lists: records, their selection and digests, signed lists, and the
// rules for a package's file name (the last component of its URL).
#include "engine/list_trust.h"
#include "engine/patch_list.h"
#include "engine/update_worker.h"
#include "transfer/url_and_connection.h"

// Files on the disk: the SHA-256 of a file, replacing a file whole (staged
// beside it, synced, moved over), and the rest of the platform layer.
#include "engine/file_digest.h"
#include "platform/platform.h"
#include "platform/replace_file.h"

// Packages: the format, opening one from a file or memory, the one reader of
// entries and its checking pass, the writer, applying, the post-update script.
#include "patch/entry_stream.h"
#include "patch/package_format.h"
#include "patch/package_source.h"
#include "patch/package_writer.h"
#include "patch/patch_package.h"
#include "patch/payload_codec.h"
#include "patch/post_update_script.h"

// Trust: digests, signing keys and signatures, the keys the build trusts.
#include "trust/ed25519.h"
#include "trust/sha256.h"
#include "trust/trusted_keys.h"
