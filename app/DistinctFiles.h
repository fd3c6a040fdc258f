#pragma once

#include "app/CommandLine.h"

#include <string>

// Whether the files a command line names are all different files: no output (--log, --html,
// --json, --junit, --metrics, the book of --card) is an input (--summary's log), the lab's
// SQLite database (with its -wal and -shm) or another output, by name ("x", "./x",
// "dir/../x") or by identity (a symbolic link, a hard link).
// False with the two options that name one file. Looks at the file system, changes nothing:
// called before anything is opened.
bool filesAreDistinct(const Options& options, std::string& error);
