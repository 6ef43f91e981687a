#pragma once
// The file a recording goes to: created new, never an existing one.

#include <cstddef>

#include "common/write_all.h"  // write_all: the recorder's header

class QString;

// Creates `path` for writing; never opens an existing file (nor a link).
// -1 with errno on failure (EEXIST when something is there already).
int create_new_file(const QString& path);
void close_file(int fd);
// Removes a file this run created (one it could not use).
void remove_file(const QString& path);
