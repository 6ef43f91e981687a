#pragma once
// A whole write to a file descriptor, through interrupted and short writes.

#include <cstddef>

// False with errno set when the file took less than all of it.
bool write_all(int fd, const char* bytes, std::size_t size);
// The same at `offset`, leaving the file's position alone.
bool write_all_at(int fd, const char* bytes, std::size_t size, long long offset);
