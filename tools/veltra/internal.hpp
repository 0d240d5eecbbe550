// The library's internal pieces the veltra tool may use, and why. The tool
// links the library's objects (veltra_internal), not only its exported
// interface; everything it takes from the inside is listed here, so that a
// change to one of these headers is a change to the tool's contract too.
// It is part of the tool's precompiled header, so each file pays for it once.
#pragma once

// The register's INFO answer split into its variables: `info`, `status`,
// the demo and backups show the register's state and generation from it.
#include "cmd/info_vars.hpp"

// Table transfers inside setup mode: `tables put` and the service's workers
// enter and leave it as the library's own table calls do.
#include "cmd/setup_mode.hpp"

// Base names, module paths and file sizes, as the library reports them in
// its own messages.
#include "frame/paths.hpp"

// The dotted address parser of the library's calls, so the demo reads an
// address exactly as the library will.
#include "net/dotted_address.hpp"

// The register's ports, command words and the environment's port overrides,
// shared with ecrsim, which `veltra sim` runs.
#include "net/endpoints.hpp"

// The transfer and step observers: the progress bars and the service's
// progress lines. The shared library does not export them.
#include "net/transfer_observer.hpp"

// The backup archive's size and member files: the service's limit on an
// uploaded archive, and its workers' progress over the members.
#include "backup/archive.hpp"

// Release files' limits: the service refuses an upload larger than a
// release can be.
#include "release/release_file.hpp"

// The day's and past days' sales as CSV files, for the service's workers.
#include "sales/sales_retrieval.hpp"

// The environment as the library reads it (ECR_* switches at the moment of
// use), and the sockets: the service resolves register names as the library
// does (ecr_resolve_host), and it and the demo speak the raw channel over TCP.
#include "net/resolve.hpp"
#include "sys/env.hpp"
#include "sys/sockets.hpp"
#include "sys/tcp.hpp"

// Table files' record layouts and the CSV upload's record builders:
// `tables compare` and the progress bar's record counts.
#include "tables/table_files.hpp"
#include "tables/table_formats.hpp"
#include "tables/table_upload.hpp"
