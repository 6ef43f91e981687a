#pragma once
// The file a recording goes to: created new, written with plain write(2) so
// every line is in the file as soon as it is written.

#include <cstddef>

#include "common/write_all.h"  // write_all: the recorder's header

class QString;

// Creates `path` for writing; never opens an existing file (nor a link).
// -1 with errno on failure (EEXIST when something is there already).
int create_new_file(const QString& path);
// Writes all of it at the end of a file `at` bytes long, or nothing: a write
// cut short (a full disk) is cut back to `at`. false with errno on failure.
bool append_whole(int fd, const char* bytes, std::size_t size, long long at);
void close_file(int fd);
// Removes a file this run created (one it could not use).
void remove_file(const QString& path);
