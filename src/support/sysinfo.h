// Facts about the running process: the user's name and unique identifiers.
#pragma once

#include <cstddef>

// Writes the name of the user the process runs as (the password database's entry for the
// effective user, else $USER or $LOGNAME, else the numeric user id) into `buffer` of `size` bytes,
// cut on a character boundary and terminated.
void np_osinf_user(char *buffer, size_t size);

// Characters of an identifier from np_uniq_s64.
inline constexpr size_t NP_UNIQ_LENGTH = 16;

// Writes a 16-character identifier (digits and upper-case letters) and a terminator into `buffer`
// (at least 17 bytes). No two calls return the same identifier, in this process or in any other
// process on the machine: the identifier packs the time in milliseconds, a counter for calls
// within the same millisecond, and the process id.
void np_uniq_s64(char *buffer);
// Like np_uniq_s64, but shows nothing of the process: the same packed value, enciphered by a
// permutation under a key drawn at random once per process. Identifiers stay distinct within the
// process and its forks (a permutation of distinct values under one key); between other
// processes they are as unlikely to meet as two random 80-bit values. They no longer sort by time.
void np_uniq_s64_anonymous(char *buffer);
